// Restores through the real orv_target binary over TLS with the client
// library. Stored backups are written as fixtures with the store's own
// catalog writer before the server starts; the test then lists them, finds
// parents, fetches chains and reads image ranges the way an agent does, and
// checks every refusal and that refusals change nothing on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "client/client.h"
#include "core/status.h"
#include "protocol/formats.h"
#include "protocol/messages.h"
#include "protocol/payloads.h"
#include "store/catalog.h"
#include "store/names.h"
#include "support/server_process.h"

namespace orv {
namespace {

using orv_support::TargetFiles;
using orv_support::TargetServer;

constexpr const char* kKeyAll = "key-all-0123456789";
constexpr const char* kKeyHost1 = "key-host1-9876543210";
constexpr uint32_t kBlockSize = 64 * 1024;
constexpr uint64_t kBlocks = 160;  // a 10 MiB source: the full image exceeds one range
constexpr int64_t kT0 = 1767225600;  // 2026-01-01 00:00:00 UTC

Uuid make_uuid(uint8_t tag, uint8_t first = 0x11) {
  Uuid u;
  for (size_t i = 0; i < UUID_SIZE; ++i) u.bytes[i] = static_cast<uint8_t>(tag + i);
  u.bytes[0] = first;
  u.bytes[15] = tag;
  return u;
}

std::string uuid_text(const Uuid& u) {
  char t[UUID_TEXT_SIZE];
  uuid_format(u, t);
  return t;
}

// One block as the agent sent it: data, or no data (an all-zero block).
struct SentBlock {
  uint64_t key;
  std::string data;  // empty: no data
};

struct BackupFixture {
  std::string name;
  uint8_t type = BACKUP_FULL;
  Uuid uuid;
  Uuid parent;
  Uuid chain;
  int64_t created = kT0;
  std::vector<SentBlock> blocks;  // in arrival order
  int counter = 1;                // file-name collision counter
};

struct StoredBackup {
  std::string catalog;
  std::string image;
  std::vector<uint8_t> entries;  // the catalog's entry table as written
  uint64_t image_size = 0;
};

// Writes image and catalog the way a finished backup leaves them, readable
// by the unprivileged worker.
StoredBackup store_backup(const std::string& dir, const BackupFixture& want) {
  char stamp[32];
  time_t t = static_cast<time_t>(want.created);
  struct tm tm;
  gmtime_r(&t, &tm);
  strftime(stamp, sizeof stamp, "%Y%m%d%H%M", &tm);
  std::string base = dir + "/" + want.name + "-" + stamp;
  if (want.counter > 1) base += "-" + std::to_string(want.counter);
  StoredBackup out;
  out.catalog = base + catalog_extension(want.type);
  out.image = base + image_extension(want.type);

  std::string image;
  std::vector<CatalogEntry> entries(want.blocks.size());
  for (size_t i = 0; i < want.blocks.size(); ++i) {
    const SentBlock& b = want.blocks[i];
    CatalogEntryFields f;
    f.key = b.key;
    f.agent_u32 = static_cast<uint32_t>(b.key * 7 + 1);
    f.agent_byte = static_cast<uint8_t>(want.type + 1);
    for (size_t j = 0; j < ENT_AGENT_TAIL_SIZE; ++j) f.agent_tail[j] = static_cast<uint8_t>(b.key + j);
    if (b.data.empty()) {
      f.flags = ENTRY_FLAG_NO_DATA;
    } else {
      f.offset = image.size();
      f.length = static_cast<uint32_t>(b.data.size());
      image += b.data;
    }
    encode_catalog_entry(f, &entries[i]);
  }
  entries_sort(entries.data(), entries.size());
  out.image_size = image.size();
  EXPECT_TRUE(orv_support::write_text(out.image, image, 0644));

  BackupHeaderFields h;
  h.block_size = kBlockSize;
  h.type = want.type;
  h.uuid = want.uuid;
  h.parent_uuid = want.parent;
  h.chain_uuid = want.chain;
  h.created = want.created;
  h.source_size = kBlocks * kBlockSize;
  h.image_size = image.size();
  snprintf(h.name, sizeof h.name, "%s", want.name.c_str());
  auto header = std::make_unique<BackupHeader>();
  encode_backup_header(h, header.get());
  EXPECT_EQ(catalog_write(out.catalog.c_str(), 0644, *header, entries.data(), entries.size()), STATUS_OK);
  EXPECT_EQ(chmod(out.catalog.c_str(), 0644), 0);
  out.entries.resize(entries.size() * CATALOG_ENTRY_SIZE);
  if (!entries.empty()) memcpy(out.entries.data(), entries.data(), out.entries.size());
  return out;
}

// Every regular file below root with its contents, to show that nothing changed.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file()) files[it->path().string()] = orv_support::read_text(it->path().string());
  }
  return files;
}

struct Conn {
  Client c;
  bool open = false;
  ~Conn() { close(); }
  int32_t connect(uint16_t port) {
    ClientOptions o;
    o.timeout_ms = 15000;
    int32_t rc = client_connect(&c, "127.0.0.1", port, o);
    open = rc == STATUS_OK;
    return rc;
  }
  void close() {
    if (open) client_close(&c);
    open = false;
  }
  int32_t hello(const char* key) {
    HelloReply reply;
    return client_hello(&c, key, true, 0, &reply);
  }
  bool closed_by_peer() {
    std::span<const uint8_t> payload;
    return client_receive(&c, &payload) == STATUS_IO;
  }
};

// One backup of a fetched chain as the agent receives it.
struct ChainLink {
  std::vector<uint8_t> header;
  std::vector<uint8_t> entries;
  int entry_frames = 0;
};

int32_t collect_chain(void* context, uint16_t type, std::span<const uint8_t> payload) {
  auto* links = static_cast<std::vector<ChainLink>*>(context);
  if (type == MSG_CHAIN_HEADER) {
    links->push_back(ChainLink{});
    links->back().header.assign(payload.begin(), payload.end());
    return STATUS_OK;
  }
  if (links->empty() || payload.empty() || payload.size() % CATALOG_ENTRY_SIZE != 0 ||
      payload.size() > ENTRIES_PER_FRAME * CATALOG_ENTRY_SIZE) {
    return STATUS_PROTOCOL;
  }
  links->back().entries.insert(links->back().entries.end(), payload.begin(), payload.end());
  ++links->back().entry_frames;
  return STATUS_OK;
}

Uuid header_uuid_of(const std::vector<uint8_t>& header) {
  Uuid u;
  memcpy(u.bytes, header.data() + HDR_UUID_OFF, UUID_SIZE);
  return u;
}

class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(files.create(std::string(kKeyAll) + " **\n" + kKeyHost1 + " host1\n"));
    setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("priv").c_str(), 1);
    host1 = files.dir.make_dir("storage/host1");
    build_chain();
  }

  // A graceful stop lets a sanitizer build of the server report what it found.
  void TearDown() override {
    if (!server.process.running()) return;
    server.process.signal(SIGTERM);
    EXPECT_TRUE(server.process.wait_exit(30000));
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error"}) {
      EXPECT_EQ(log().find(report), std::string::npos) << log();
    }
  }

  void start() { ASSERT_TRUE(server.start(ORV_TARGET_BIN)) << server.process.log(); }
  std::string log() const { return server.process.log(); }

  // A source of kBlocks blocks, backed up as FULL, then DIFF (everything
  // changed since the FULL), then INC (changed since the DIFF). `source`
  // ends as the state the INC describes.
  void build_chain() {
    std::mt19937_64 rng(42);
    auto random_block = [&rng] {
      std::string s(kBlockSize, '\0');
      for (size_t i = 0; i < s.size(); i += 8) {
        uint64_t v = rng();
        memcpy(&s[i], &v, 8);
      }
      return s;
    };
    const std::string zero(kBlockSize, '\0');
    source.assign(kBlocks, std::string());
    BackupFixture full{"db", BACKUP_FULL, make_uuid(1), Uuid{}, make_uuid(1), kT0, {}, 1};
    for (uint64_t k = 0; k < kBlocks; ++k) {
      source[k] = k % 10 == 3 ? zero : random_block();
      full.blocks.push_back({k, source[k] == zero ? std::string() : source[k]});
    }
    // Arrival order differs from key order: the catalog is sorted, the image is not.
    std::reverse(full.blocks.begin(), full.blocks.begin() + 20);
    stored_full = store_backup(host1, full);

    std::vector<std::string> at_full = source;
    BackupFixture diff{"db", BACKUP_DIFF, make_uuid(2), make_uuid(1), make_uuid(1), kT0 + 3600, {}, 1};
    for (uint64_t k : {5ull, 6ull, 13ull, 40ull, 41ull, 99ull, 159ull}) source[k] = random_block();
    source[7] = zero;  // had data in the FULL, no data now
    for (uint64_t k = 0; k < kBlocks; ++k) {
      if (source[k] != at_full[k]) diff.blocks.push_back({k, source[k] == zero ? std::string() : source[k]});
    }
    stored_diff = store_backup(host1, diff);

    std::vector<std::string> at_diff = source;
    BackupFixture inc{"db", BACKUP_INC, make_uuid(3), make_uuid(2), make_uuid(1), kT0 + 7200, {}, 1};
    for (uint64_t k : {6ull, 7ull, 41ull, 100ull}) source[k] = random_block();  // 7: data again
    source[13] = zero;
    for (uint64_t k = 0; k < kBlocks; ++k) {
      if (source[k] != at_diff[k]) inc.blocks.push_back({k, source[k] == zero ? std::string() : source[k]});
    }
    stored_inc = store_backup(host1, inc);
  }

  int32_t fetch(Conn* conn, const char* subdir, const Uuid& uuid, std::vector<ChainLink>* links) {
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "%s", subdir);
    req.uuid = uuid;
    links->clear();
    return client_fetch_chain(&conn->c, req, collect_chain, links);
  }

  int32_t read_range(Conn* conn, uint32_t index, uint32_t length, uint64_t offset, std::string* out = nullptr) {
    std::span<const uint8_t> data;
    int32_t rc = client_read_range(&conn->c, RangeRequest{index, length, offset}, &data);
    if (rc == STATUS_OK && out != nullptr) out->assign(reinterpret_cast<const char*>(data.data()), data.size());
    return rc;
  }

  // *list views the answer in the client's buffer.
  int32_t list(Conn* conn, const char* subdir, const char* name, uint32_t* count, std::span<const uint8_t>* out) {
    ListBackupsRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "%s", subdir);
    snprintf(req.target_name, sizeof req.target_name, "%s", name);
    bool truncated = true;
    int32_t rc = client_list_backups(&conn->c, req, count, &truncated, out);
    EXPECT_TRUE(rc != STATUS_OK || !truncated);
    return rc;
  }

  int32_t find_parent(Conn* conn, const char* subdir, const char* name, int8_t type, bool* found,
                      std::vector<uint8_t>* header) {
    FindParentRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "%s", subdir);
    snprintf(req.target_name, sizeof req.target_name, "%s", name);
    req.type = type;
    std::span<const uint8_t> h;
    int32_t rc = client_find_parent(&conn->c, req, found, &h);
    header->assign(h.begin(), h.end());
    return rc;
  }

  // Expects an ERROR with status and text, after which the server closes.
  void expect_refused(Conn* conn, int32_t rc, int32_t status, const char* text) {
    EXPECT_EQ(rc, status) << text;
    EXPECT_TRUE(conn->c.got_error);
    EXPECT_EQ(conn->c.last_error.status, status);
    EXPECT_STREQ(conn->c.last_error.text, text);
    EXPECT_TRUE(conn->closed_by_peer()) << text;
  }

  // A connection that has said HELLO.
  void open(Conn* conn, const char* key = kKeyAll) {
    ASSERT_EQ(conn->connect(server.port()), STATUS_OK) << last_transport_error();
    ASSERT_EQ(conn->hello(key), STATUS_OK);
  }

  TargetFiles files;
  TargetServer server{files};
  std::string host1;
  std::vector<std::string> source;
  StoredBackup stored_full, stored_diff, stored_inc;
};

TEST_F(RestoreTest, ThreeLinkChainRestoresByteForByte) {
  start();
  Conn a;
  open(&a);
  std::vector<ChainLink> links;
  ASSERT_EQ(fetch(&a, "host1", make_uuid(3), &links), STATUS_OK) << a.c.last_error.text;

  // Full backup first, the requested INC last; headers and catalogs exactly as stored.
  ASSERT_EQ(links.size(), 3u);
  const StoredBackup* stored[3] = {&stored_full, &stored_diff, &stored_inc};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(orv_support::read_text(stored[i]->catalog).substr(0, BACKUP_HEADER_SIZE),
              std::string(links[i].header.begin(), links[i].header.end()));
    EXPECT_EQ(links[i].entries, stored[i]->entries) << "link " << i;
    EXPECT_EQ(links[i].entry_frames, 1);
  }

  // For each key, the newest backup of the chain that has an entry for it;
  // the reads jump between the three files.
  std::string restored;
  for (uint64_t k = 0; k < kBlocks; ++k) {
    int found = -1;
    CatalogEntryFields e;
    for (int i = 2; i >= 0 && found < 0; --i) {
      for (size_t j = 0; j < links[i].entries.size() / CATALOG_ENTRY_SIZE && found < 0; ++j) {
        e = decode_catalog_entry(std::span<const uint8_t>(links[i].entries).subspan(j * CATALOG_ENTRY_SIZE));
        if (e.key == k) found = i;
      }
    }
    ASSERT_GE(found, 0) << "key " << k;
    EXPECT_EQ(e.agent_u32, static_cast<uint32_t>(k * 7 + 1));
    std::string data(kBlockSize, '\0');
    if ((e.flags & ENTRY_FLAG_NO_DATA) == 0) {
      ASSERT_EQ(read_range(&a, static_cast<uint32_t>(found), e.length, e.offset, &data), STATUS_OK) << "key " << k;
    }
    restored += data;
  }
  std::string expected;
  for (const std::string& s : source) expected += s;
  EXPECT_TRUE(restored == expected) << "restored source differs";

  // The full image (over 8 MiB) in the largest ranges: the last one ends
  // exactly at its end, and one byte more is refused.
  std::string image, part;
  for (uint64_t off = 0; off < stored_full.image_size; off += READ_RANGE_MAX_LENGTH) {
    uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(READ_RANGE_MAX_LENGTH, stored_full.image_size - off));
    ASSERT_EQ(read_range(&a, 0, len, off, &part), STATUS_OK);
    image += part;
  }
  EXPECT_TRUE(image == orv_support::read_text(stored_full.image));
  ASSERT_EQ(read_range(&a, 2, 1, stored_inc.image_size - 1, &part), STATUS_OK);
  EXPECT_EQ(part, orv_support::read_text(stored_inc.image).substr(stored_inc.image_size - 1));
  expect_refused(&a, read_range(&a, 2, 2, stored_inc.image_size - 1), STATUS_INVALID,
                 "READ_RANGE outside the announced chain files");
}

TEST_F(RestoreTest, EntriesTravelInFramesOfAtMost100000AndEmptyCatalogsSendNone) {
  BackupFixture big{"big", BACKUP_FULL, make_uuid(20), Uuid{}, make_uuid(20), kT0, {}, 1};
  for (uint64_t k = 0; k < ENTRIES_PER_FRAME + 1; ++k) big.blocks.push_back({k, std::string()});
  StoredBackup stored_big = store_backup(host1, big);
  store_backup(host1, {"big", BACKUP_INC, make_uuid(21), make_uuid(20), make_uuid(20), kT0 + 60, {}, 1});
  start();
  Conn a;
  open(&a);
  std::vector<ChainLink> links;
  ASSERT_EQ(fetch(&a, "host1", make_uuid(21), &links), STATUS_OK);
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0].entry_frames, 2);
  EXPECT_EQ(links[0].entries, stored_big.entries);
  EXPECT_EQ(links[1].entry_frames, 0);
  // An empty image: no range of it exists.
  expect_refused(&a, read_range(&a, 1, 1, 0), STATUS_INVALID, "READ_RANGE outside the announced chain files");
}

struct RangeCase {
  const char* name;
  uint32_t index;
  uint32_t length;
  bool from_end;   // offset counts from the image's end
  int64_t offset;  // added to the image size when from_end, else absolute
};

class RangeBoundsTest : public RestoreTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(RangeBoundsTest, OutsideTheAnnouncedFilesEndsTheSession) {
  start();
  Conn a;
  open(&a);
  std::vector<ChainLink> links;
  ASSERT_EQ(fetch(&a, "host1", make_uuid(3), &links), STATUS_OK);
  const RangeCase& c = GetParam();
  uint64_t size = c.index == 0 ? stored_full.image_size : stored_inc.image_size;
  uint64_t offset = static_cast<uint64_t>(c.offset) + (c.from_end ? size : 0);
  expect_refused(&a, read_range(&a, c.index, c.length, offset), STATUS_INVALID,
                 "READ_RANGE outside the announced chain files");
}

constexpr int64_t kMaxLength = READ_RANGE_MAX_LENGTH;

INSTANTIATE_TEST_SUITE_P(
    Bounds, RangeBoundsTest,
    ::testing::Values(RangeCase{"LengthZero", 0, 0, false, 0}, RangeCase{"OneByteBeyondTheEnd", 2, 101, true, -100},
                      RangeCase{"OffsetBeyondTheEnd", 0, 1, true, 1}, RangeCase{"OffsetAtTheEnd", 0, 1, true, 0},
                      RangeCase{"LengthAboveTheLimit", 0, READ_RANGE_MAX_LENGTH + 1, true, -kMaxLength - 1},
                      RangeCase{"IndexEqualToCount", 3, 1, false, 0},
                      // offset + length wraps around to a small number
                      RangeCase{"OffsetThatWouldWrap", 0, 16, false, -8}),
    [](const ::testing::TestParamInfo<RangeCase>& i) { return std::string(i.param.name); });

TEST_F(RestoreTest, SecondFetchChainReplacesTheAnnouncedFiles) {
  store_backup(host1, {"other", BACKUP_FULL, make_uuid(30), Uuid{}, make_uuid(30), kT0, {{0, "other image bytes"}}, 1});
  start();
  Conn a;
  open(&a);
  std::vector<ChainLink> links;
  ASSERT_EQ(fetch(&a, "host1", make_uuid(3), &links), STATUS_OK);
  ASSERT_EQ(read_range(&a, 2, 8, 0), STATUS_OK);
  ASSERT_EQ(fetch(&a, "host1", make_uuid(30), &links), STATUS_OK);
  ASSERT_EQ(links.size(), 1u);
  std::string data;
  ASSERT_EQ(read_range(&a, 0, 17, 0, &data), STATUS_OK);
  EXPECT_EQ(data, "other image bytes");
  expect_refused(&a, read_range(&a, 1, 1, 0), STATUS_INVALID, "READ_RANGE outside the announced chain files");
}

TEST_F(RestoreTest, RefusalsAnswerTheirTextAndChangeNothingStored) {
  // host2: an INC whose parent is gone. host3: a FULL whose entry table was
  // damaged. host4: a directory the service cannot read.
  std::string host2 = files.dir.make_dir("storage/host2");
  store_backup(host2, {"lost", BACKUP_INC, make_uuid(40), make_uuid(41), make_uuid(41), kT0, {{1, "x"}}, 1});
  std::string host3 = files.dir.make_dir("storage/host3");
  StoredBackup bad = store_backup(host3, {"bad", BACKUP_FULL, make_uuid(50), Uuid{}, make_uuid(50), kT0,
                                          {{1, "abc"}, {2, "def"}}, 1});
  std::string text = orv_support::read_text(bad.catalog);
  text[BACKUP_HEADER_SIZE + 3] ^= 0x40;
  ASSERT_TRUE(orv_support::write_text(bad.catalog, text, 0644));
  std::string host4 = files.dir.make_dir("storage/host4");
  ASSERT_EQ(chmod(host4.c_str(), 0), 0);
  start();
  std::map<std::string, std::string> before = snapshot(files.storage);

  std::vector<ChainLink> links;
  uint32_t count = 0;
  std::span<const uint8_t> listed;
  bool found = true;
  std::vector<uint8_t> header;
  constexpr const char* kNotPermitted = "target_subdir not permitted for this api key";
  struct Case {
    const char* key;
    std::function<int32_t(Conn*)> request;
    int32_t status;
    const char* text;
  };
  const std::vector<Case> cases = {
      {kKeyAll, [&](Conn* c) { return fetch(c, "host1", make_uuid(7), &links); }, STATUS_NOT_FOUND,
       "no such backup uuid"},
      {kKeyAll, [&](Conn* c) { return fetch(c, "host2", make_uuid(40), &links); }, STATUS_NOT_FOUND,
       "failed to load chain"},
      {kKeyAll, [&](Conn* c) { return fetch(c, "host3", make_uuid(50), &links); }, STATUS_CORRUPT,
       "failed to load chain"},
      {kKeyAll, [&](Conn* c) { return fetch(c, "host4", make_uuid(3), &links); }, STATUS_IO,
       "failed to scan target directory"},
      {kKeyAll, [&](Conn* c) { return list(c, "host4", "", &count, &listed); }, STATUS_IO,
       "failed to scan target directory"},
      {kKeyAll, [&](Conn* c) { return find_parent(c, "host4", "db", -1, &found, &header); }, STATUS_IO,
       "cannot read the backup directory on the target (permissions?)"},
      {kKeyAll, [&](Conn* c) { return read_range(c, 0, 1, 0); }, STATUS_PROTOCOL,
       "READ_RANGE without a preceding FETCH_CHAIN"},
      {kKeyHost1, [&](Conn* c) { return fetch(c, "host2", make_uuid(40), &links); }, STATUS_INVALID, kNotPermitted},
      {kKeyHost1, [&](Conn* c) { return fetch(c, "host1/../host2", make_uuid(40), &links); }, STATUS_INVALID,
       kNotPermitted},
      {kKeyHost1, [&](Conn* c) { return list(c, "host3", "", &count, &listed); }, STATUS_INVALID, kNotPermitted},
      {kKeyHost1, [&](Conn* c) { return find_parent(c, "host1/", "db", -1, &found, &header); }, STATUS_INVALID,
       kNotPermitted},
  };
  for (const Case& c : cases) {
    Conn conn;
    open(&conn, c.key);
    expect_refused(&conn, c.request(&conn), c.status, c.text);
  }
  EXPECT_TRUE(server.process.wait_for_log(
      "find parent 'db' in " + files.storage + "/host4 failed (I/O error, status=-1)", 15000))
      << log();
  // The failed requests ended their sessions, not the server.
  Conn last;
  open(&last);
  EXPECT_EQ(client_ping(&last.c), STATUS_OK);
  EXPECT_TRUE(snapshot(files.storage) == before) << "a refused request changed the storage";
  (void)chmod(host4.c_str(), 0755);  // so that the directory can be removed
}

TEST_F(RestoreTest, ImageThatCannotBeReadEndsTheSession) {
  start();
  Conn a;
  open(&a);
  std::vector<ChainLink> links;
  ASSERT_EQ(fetch(&a, "host1", make_uuid(3), &links), STATUS_OK);
  ASSERT_EQ(read_range(&a, 0, 16, 0), STATUS_OK);  // opens the full image
  ASSERT_EQ(unlink(stored_full.image.c_str()), 0);
  ASSERT_EQ(unlink(stored_diff.image.c_str()), 0);
  // FETCH_CHAIN opened every image of the chain: deleting them afterwards
  // (an operator's prune) takes nothing from a restore already under way.
  ASSERT_EQ(read_range(&a, 0, 16, 16), STATUS_OK);
  ASSERT_EQ(read_range(&a, 1, 16, 0), STATUS_OK);
  // A chain fetched after its images went: the read cannot open them.
  Conn c;
  open(&c);
  ASSERT_EQ(fetch(&c, "host1", make_uuid(3), &links), STATUS_OK);
  expect_refused(&c, read_range(&c, 1, 16, 0), STATUS_NOT_FOUND, "failed to open image file");

  // An image shorter than its header says: the read comes up short.
  ASSERT_EQ(truncate(stored_inc.image.c_str(), 10), 0);
  Conn b;
  open(&b);
  ASSERT_EQ(fetch(&b, "host1", make_uuid(3), &links), STATUS_OK);
  expect_refused(&b, read_range(&b, 2, 20, 0), STATUS_IO, "failed to read image file");
}

TEST_F(RestoreTest, ListBackupsSortsFiltersAndSkipsDamagedCatalogs) {
  // Three more backups created at the same second as the DIFF (uuid 0x11...):
  // ordered by uuid bytes as unsigned values (0x80 after 0x7f), not by name.
  store_backup(host1, {"zeta", BACKUP_FULL, make_uuid(60, 0x80), Uuid{}, Uuid{}, kT0 + 3600, {{0, "z"}}, 1});
  store_backup(host1, {"alpha", BACKUP_FULL, make_uuid(61, 0x7f), Uuid{}, Uuid{}, kT0 + 3600, {{0, "a"}}, 1});
  store_backup(host1, {"db", BACKUP_FULL, make_uuid(62, 0x00), Uuid{}, Uuid{}, kT0 + 3600, {}, 2});
  std::string long_name(63, 'n');  // fills the header's name field
  store_backup(host1, {long_name, BACKUP_FULL, make_uuid(63), Uuid{}, Uuid{}, kT0 - 10, {}, 1});
  ASSERT_TRUE(orv_support::write_text(host1 + "/junk-202601010000.infb", std::string(5000, 'x'), 0644));
  start();

  Conn a;
  open(&a);
  uint32_t count = 0;
  std::span<const uint8_t> out;
  auto at = [&out](uint32_t i) { return decode_list_entry(backup_list_entry(out, i)); };
  ASSERT_EQ(list(&a, "host1", "", &count, &out), STATUS_OK);
  ASSERT_EQ(count, 7u);
  const uint8_t tags[] = {63, 1, 62, 2, 61, 60, 3};  // last uuid byte of each, in the expected order
  for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(at(i).uuid.bytes[15], tags[i]) << "position " << i;
  BackupListEntry inc = at(6);
  EXPECT_EQ(uuid_text(inc.parent_uuid), uuid_text(make_uuid(2)));
  EXPECT_EQ(inc.type, BACKUP_INC);
  EXPECT_EQ(inc.created, static_cast<uint64_t>(kT0 + 7200));
  EXPECT_EQ(inc.source_size, kBlocks * kBlockSize);
  EXPECT_EQ(inc.image_size, stored_inc.image_size);
  EXPECT_EQ(inc.entry_count, stored_inc.entries.size() / CATALOG_ENTRY_SIZE);
  EXPECT_STREQ(inc.name, "db");
  EXPECT_EQ(std::string(at(0).name), long_name);
  EXPECT_TRUE(server.process.wait_for_log(
      "skipping " + host1 + "/junk-202601010000.infb: corrupt or incomplete header", 15000));

  // The name filter keeps exact matches only.
  ASSERT_EQ(list(&a, "host1", "db", &count, &out), STATUS_OK);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(at(1).uuid.bytes[15], 62);
  ASSERT_EQ(list(&a, "host1", "d", &count, &out), STATUS_OK);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(list(&a, "host1", long_name.c_str(), &count, &out), STATUS_OK);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(list(&a, "nowhere", "", &count, &out), STATUS_OK);  // never written to
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(out.size(), BACKUP_LIST_ENTRIES_OFF);
}

TEST_F(RestoreTest, FindParentPicksTheNewestOfNameAndType) {
  files.dir.make_dir("storage/empty");
  start();
  Conn a;
  open(&a);
  bool found = false;
  std::vector<uint8_t> header;
  ASSERT_EQ(find_parent(&a, "host1", "db", -1, &found, &header), STATUS_OK);
  EXPECT_TRUE(found);
  EXPECT_EQ(std::string(header.begin(), header.end()),
            orv_support::read_text(stored_inc.catalog).substr(0, BACKUP_HEADER_SIZE));
  ASSERT_EQ(find_parent(&a, "host1", "db", BACKUP_FULL, &found, &header), STATUS_OK);
  EXPECT_TRUE(found);
  EXPECT_EQ(uuid_text(header_uuid_of(header)), uuid_text(make_uuid(1)));
  ASSERT_EQ(find_parent(&a, "host1", "db", BACKUP_DIFF, &found, &header), STATUS_OK);
  EXPECT_EQ(uuid_text(header_uuid_of(header)), uuid_text(make_uuid(2)));
  // Not found: another name or type, an empty and a missing directory.
  const std::vector<std::pair<const char*, int8_t>> misses = {{"host1", 7}, {"empty", -1}, {"missing", -1}};
  for (const auto& [subdir, type] : misses) {
    ASSERT_EQ(find_parent(&a, subdir, "db", type, &found, &header), STATUS_OK);
    EXPECT_FALSE(found) << subdir;
    ASSERT_EQ(header.size(), BACKUP_HEADER_SIZE);
    EXPECT_TRUE(std::all_of(header.begin(), header.end(), [](uint8_t b) { return b == 0; }));
  }
}

}  // namespace
}  // namespace orv
