#include "store/journal.h"

#include <gtest/gtest.h>

#include "core/file_io.h"
#include "core/status.h"
#include "core/unique_fd.h"
#include "store/journal_reader.h"
#include "store/partial.h"
#include "store_test_util.h"

namespace orv {
namespace {

class Journal : public ::testing::Test {
 protected:
  test::TempDir dir;
  std::string image = dir.file("db-202601010000.csfb");
  std::string catalog = dir.file("db-202601010000.infb");
  std::string path = image + ".part";
  std::unique_ptr<BackupHeader> header = test::make_header("db", BACKUP_FULL, 1, 0, 1000);
  JournalWriter w;
  UniqueFd image_fd;

  void SetUp() override {
    journal_init(&w);
    int fd = -1;
    ASSERT_EQ(STATUS_OK, file_create((image + ".tmp").c_str(), 0640, &fd));
    image_fd.reset(fd);
    ASSERT_EQ(STATUS_OK, journal_create(&w, path.c_str(), *header, catalog.c_str(), image.c_str()));
  }
  void TearDown() override { journal_close(&w); }

  void add_blocks(uint64_t first_key, uint64_t n) {
    for (uint64_t k = first_key; k < first_key + n; ++k) {
      ASSERT_EQ(STATUS_OK, journal_add_block(&w, test::make_entry(k, k * 10, 10), 10));
    }
  }
  JournalScan scan_file() {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    uint64_t size = 0;
    EXPECT_EQ(STATUS_OK, file_size(fd.get(), &size));
    JournalScan s;
    EXPECT_EQ(STATUS_OK, journal_scan(fd.get(), size, JOURNAL_FIRST_RECORD, &s));
    return s;
  }
  int32_t read_header(uint8_t* head) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    auto payload = std::make_unique<BackupHeader>();
    uint64_t first = 0;
    return journal_read_header(fd.get(), head, payload.get(), &first);
  }
  // Rewrites record i of the journal file (64-byte units after the header).
  void patch_record(uint64_t i, uint8_t kind, uint64_t a, uint64_t b, bool good_crc) {
    std::vector<uint8_t> bytes = test::read_all(path);
    uint8_t body[REC_BODY_SIZE] = {};
    put_u64_le(std::span<uint8_t>(body), 0, a);
    put_u64_le(std::span<uint8_t>(body), 8, b);
    uint8_t* rec = bytes.data() + JOURNAL_FIRST_RECORD + i * JOURNAL_RECORD_SIZE;
    encode_journal_record(kind, std::span<const uint8_t>(body), rec);
    if (!good_crc) rec[61] ^= 0xFF;
    ASSERT_TRUE(test::write_all(path, bytes));
  }
};

TEST_F(Journal, HeaderRecordsTheBaseNamesAndPayload) {
  uint8_t head[JOURNAL_HEADER_SIZE];
  ASSERT_EQ(STATUS_OK, read_header(head));
  EXPECT_STREQ("db-202601010000.infb", journal_header_catalog_name(head));
  EXPECT_STREQ("db-202601010000.csfb", journal_header_image_name(head));
  EXPECT_EQ(static_cast<off_t>(JOURNAL_FIRST_RECORD), test::size_of(path));
  // Only a header: no valid checkpoint.
  JournalScan s = scan_file();
  EXPECT_EQ(0u, s.count);
  EXPECT_EQ(0u, s.checkpoint_end);
  JournalWriter again;
  EXPECT_EQ(STATUS_EXISTS, journal_create(&again, path.c_str(), *header, catalog.c_str(), image.c_str()));
  EXPECT_EQ(-1, again.fd);
  // Written into a reserved file only when it is the empty one reserved for
  // it: another backup's journal under the name is left alone.
  auto before = test::read_all(path);
  EXPECT_EQ(STATUS_EXISTS, journal_create_reserved(&again, path.c_str(), *header, catalog.c_str(), image.c_str()));
  EXPECT_EQ(-1, again.fd);
  EXPECT_EQ(before, test::read_all(path));
  std::string other = dir.file("other.csfb.part");
  EXPECT_EQ(STATUS_NOT_FOUND, journal_create_reserved(&again, other.c_str(), *header, catalog.c_str(), image.c_str()));
  { UniqueFd empty(open(other.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640)); ASSERT_TRUE(empty.valid()); }
  ASSERT_EQ(STATUS_OK, journal_create_reserved(&again, other.c_str(), *header, catalog.c_str(), image.c_str()));
  EXPECT_EQ(static_cast<off_t>(JOURNAL_FIRST_RECORD), test::size_of(other));
  journal_close(&again);
}

TEST_F(Journal, RecordsReachTheFileInBatchesAndAtCheckpoints) {
  add_blocks(0, 1024);
  EXPECT_EQ(static_cast<off_t>(JOURNAL_FIRST_RECORD), test::size_of(path));  // all still buffered
  add_blocks(1024, 1);
  EXPECT_EQ(static_cast<off_t>(JOURNAL_FIRST_RECORD + 65536), test::size_of(path));
  ASSERT_EQ(STATUS_OK, journal_add_drop(&w, 3));
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 10250));
  EXPECT_EQ(10250u, w.durable_image_size);
  EXPECT_EQ(0u, w.pending);
  JournalScan s = scan_file();
  EXPECT_EQ(1026u, s.count);
  EXPECT_EQ(1026u, s.checkpoint_count);
  EXPECT_EQ(10250u, s.checkpoint_image_size);
  EXPECT_EQ(JOURNAL_FIRST_RECORD + 1027 * 64, s.checkpoint_end);

  // A failed image fsync adds nothing to the journal.
  add_blocks(2000, 2);
  EXPECT_NE(STATUS_OK, journal_checkpoint(&w, -1, 20));
  EXPECT_EQ(128u, w.used);
}

TEST_F(Journal, TornTailIsIgnoredAndTheLastCheckpointDecides) {
  add_blocks(0, 3);
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 30));
  add_blocks(3, 2);
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 50));
  add_blocks(5, 1);
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 60));
  journal_close(&w);
  // The crash tore the last checkpoint record in half.
  ASSERT_EQ(0, truncate(path.c_str(), test::size_of(path) - 32));
  JournalScan s = scan_file();
  EXPECT_EQ(6u, s.count);
  EXPECT_EQ(5u, s.checkpoint_count);
  EXPECT_EQ(50u, s.checkpoint_image_size);
  EXPECT_EQ(JOURNAL_FIRST_RECORD + 7 * 64, s.checkpoint_end);
}

TEST_F(Journal, CorruptRecordEndsTheTrustedRun) {
  add_blocks(0, 2);
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 20));  // record 2
  add_blocks(2, 2);
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 40));  // record 5
  journal_close(&w);

  patch_record(3, REC_BLOCK, 3, 0, /*good_crc=*/false);  // damage before the second checkpoint
  JournalScan s = scan_file();
  EXPECT_EQ(2u, s.count);
  EXPECT_EQ(20u, s.checkpoint_image_size);

  patch_record(2, REC_CHECKPOINT, 2, 20, /*good_crc=*/false);  // and the only earlier checkpoint
  s = scan_file();
  EXPECT_EQ(0u, s.checkpoint_end);
}

TEST_F(Journal, CheckpointWithAWrongCountStopsTheScan) {
  add_blocks(0, 2);
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 20));  // record 2
  add_blocks(2, 1);
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 30));  // record 4
  add_blocks(3, 1);
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 40));  // record 6
  journal_close(&w);
  patch_record(4, REC_CHECKPOINT, 7, 30, /*good_crc=*/true);  // valid CRC, count disagrees
  JournalScan s = scan_file();
  EXPECT_EQ(20u, s.checkpoint_image_size);  // the later good checkpoint is not considered
  EXPECT_EQ(JOURNAL_FIRST_RECORD + 3 * 64, s.checkpoint_end);

  patch_record(4, 9, 0, 0, /*good_crc=*/true);  // an unknown kind stops it just the same
  EXPECT_EQ(JOURNAL_FIRST_RECORD + 3 * 64, scan_file().checkpoint_end);
}

TEST_F(Journal, DamagedHeadersAreRefused) {
  journal_close(&w);
  std::vector<uint8_t> good = test::read_all(path);
  uint8_t head[JOURNAL_HEADER_SIZE];
  auto check = [&](const std::vector<uint8_t>& bytes) {
    EXPECT_TRUE(test::write_all(path, bytes));
    return read_header(head);
  };
  for (size_t off : {size_t{100}, size_t{512 + 484}}) {  // a name, the payload: both under the CRC
    std::vector<uint8_t> b = good;
    b[off] ^= 1;
    EXPECT_EQ(STATUS_CORRUPT, check(b)) << off;
  }
  EXPECT_EQ(STATUS_CORRUPT, check(std::vector<uint8_t>(good.begin(), good.begin() + 100000)));
  std::vector<uint8_t> b = good;
  put_u32_le(b, JH_PAYLOAD_SIZE_OFF, 200000);
  EXPECT_EQ(STATUS_CORRUPT, check(b));

  // Payload size 0 reads as 4,096 bytes; names without a NUL are cut.
  std::vector<uint8_t> small(512 + 4096, 0);
  encode_journal_header(std::string(300, 'n'), "img", 0, std::span<const uint8_t>(small).subspan(512), small.data());
  EXPECT_EQ(STATUS_OK, check(small));
  EXPECT_EQ(239u, strlen(journal_header_catalog_name(head)));
}

TEST_F(Journal, CheckpointPolicyFollowsBytesDropsAndTime) {
  StoreSettings settings;
  settings.checkpoint_bytes = 1000;
  settings.checkpoint_seconds = 5;
  EXPECT_FALSE(journal_checkpoint_due(w, settings));  // nothing recorded
  ASSERT_EQ(STATUS_OK, journal_add_block(&w, test::make_entry(1), 999));
  EXPECT_FALSE(journal_checkpoint_due(w, settings));
  ASSERT_EQ(STATUS_OK, journal_add_drop(&w, 1));  // each drop counts one byte
  EXPECT_TRUE(journal_checkpoint_due(w, settings));
  EXPECT_FALSE(journal_checkpoint_due(w, StoreSettings{}));  // 1,000 bytes are far from the default 32 MiB
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 999));
  EXPECT_FALSE(journal_checkpoint_due(w, settings));

  // Blocks without data only fill the buffer; the time rule fires.
  ASSERT_EQ(STATUS_OK, journal_add_block(&w, test::make_entry(2, ENTRY_NO_OFFSET, 0, ENTRY_FLAG_NO_DATA), 0));
  EXPECT_EQ(0u, w.pending);
  EXPECT_FALSE(journal_checkpoint_due(w, settings));
  w.last_checkpoint_ms -= 5000;
  EXPECT_TRUE(journal_checkpoint_due(w, settings));
  EXPECT_FALSE(journal_checkpoint_due(w, StoreSettings{}));  // the default waits 10 s
}

TEST_F(Journal, ReopenCutsRecordsAfterTheCheckpointAndAppendsThere) {
  add_blocks(0, 3);
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 30));
  add_blocks(3, 1100);  // 1,024 of them reach the file, none under a checkpoint
  journal_close(&w);
  ASSERT_EQ(static_cast<off_t>(JOURNAL_FIRST_RECORD + 4 * 64 + 1024 * 64), test::size_of(path));

  auto p = std::make_unique<PartialBackup>();
  ASSERT_EQ(STATUS_OK, partial_load(path.c_str(), p.get()));
  ASSERT_EQ(STATUS_OK, journal_reopen(&w, path.c_str(), *p));
  EXPECT_EQ(static_cast<off_t>(p->checkpoint_end), test::size_of(path));
  EXPECT_EQ(3u, w.record_count);
  EXPECT_EQ(30u, w.durable_image_size);
  add_blocks(10, 1);
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, image_fd.get(), 40));
  journal_close(&w);
  JournalScan s = scan_file();
  EXPECT_EQ(4u, s.checkpoint_count);
  EXPECT_EQ(40u, s.checkpoint_image_size);

  // A journal that changed or vanished under the partial is not reopened.
  ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(p->checkpoint_end - 64)));
  EXPECT_EQ(STATUS_CORRUPT, journal_reopen(&w, path.c_str(), *p));
  EXPECT_EQ(-1, w.fd);
  ASSERT_EQ(0, unlink(path.c_str()));
  EXPECT_EQ(STATUS_NOT_FOUND, journal_reopen(&w, path.c_str(), *p));
  EXPECT_FALSE(test::file_exists(path));
  partial_free(p.get());
}

}  // namespace
}  // namespace orv
