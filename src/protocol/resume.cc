#include "protocol/resume.h"

#include <atomic>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/endian.h"
#include "core/log.h"
#include "core/status.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "integrity/uuid.h"
#include "protocol/payloads.h"
#include "protocol/session.h"
#include "protocol/session_handlers.h"
#include "store/journal.h"
#include "store/key_index.h"
#include "store/names.h"
#include "store/partial.h"
#include "store/partial_lock.h"

namespace orv {

namespace {

std::atomic<uint32_t> g_takeover_wait_ms{PARTIAL_TAKEOVER_WAIT_MS};

static_assert(WIRE_ENTRY_SIZE == CATALOG_ENTRY_SIZE);
static_assert(SESSION_JOURNAL_PATH_SIZE >= PARTIAL_PATH_SIZE);
// "<working directory>/<recorded name>" always fits the session's paths, and
// so does the temporary image name after it.
static_assert(SESSION_WORKDIR_SIZE + JH_NAME_SIZE <= SESSION_IMAGE_PATH_SIZE);
static_assert(SESSION_WORKDIR_SIZE + JH_NAME_SIZE <= SESSION_CATALOG_PATH_SIZE);
static_assert(SESSION_IMAGE_PATH_SIZE + TMP_SUFFIX.size() <= SESSION_TMP_IMAGE_PATH_SIZE);

// A refusal of CONTINUE that keeps the session in wait_begin: only a failure
// to send the ERROR ends it.
int32_t refuse_continue(Session* session, int32_t status, const char* text) {
  return send_error(session, status, text);
}

// The partial being continued, on the heap (its header is 128 KiB).
struct PartialOwner {
  PartialBackup* p = new (std::nothrow) PartialBackup();
  PartialOwner() = default;
  PartialOwner(const PartialOwner&) = delete;
  PartialOwner& operator=(const PartialOwner&) = delete;
  ~PartialOwner() {
    if (p != nullptr) partial_free(p);
    delete p;
  }
};

// The partial's lock while CONTINUE prepares it: released on every early
// return, kept once the session owns the partial.
class LockHold {
 public:
  explicit LockHold(const char* path) : path_(path) {}
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;
  ~LockHold() {
    if (path_ != nullptr) partial_unlock(path_);
  }
  void keep() { path_ = nullptr; }

 private:
  const char* path_;
};

// Slots of keys this many entries ahead are fetched into the cache while
// the current key is put: the slots are scattered over two arrays of tens of
// MiB, and fetching them one at a time doubles the time of a large index.
inline constexpr uint64_t INDEX_PREFETCH_AHEAD = 16;

// Fills the session's key index, sized for every entry by key_index_init
// before, with each entry's key and position. Sized up front, no put grows
// the index, so none can fail for want of memory, and the slots fetched
// ahead are the ones the puts use. The all-ones key cannot live in the
// index; such an entry is kept, only a later block with that key does not
// replace it.
void fill_key_index(Session* session) {
  KeyIndex* index = &session->key_index;
  const CatalogEntry* entries = session->entries;
  const uint64_t count = session->entry_count;
  assert(index->capacity >= 2 * count);
  const uint64_t mask = index->capacity - 1;
  for (uint64_t i = 0; i < count; ++i) {
    if (i + INDEX_PREFETCH_AHEAD < count) {
      uint64_t ahead = fmix64(entry_key(entries[i + INDEX_PREFETCH_AHEAD])) & mask;
      __builtin_prefetch(&index->keys[ahead], 1);
      __builtin_prefetch(&index->values[ahead], 1);
    }
    uint64_t key = entry_key(entries[i]);
    if (key == KEY_INDEX_EMPTY) continue;
    int32_t rc = key_index_put(index, key, i);
    assert(rc == STATUS_OK);  // the index has room for every key
    (void)rc;
  }
}

// CONTINUE_OK, the entries in frames of at most ENTRIES_PER_FRAME (sent
// straight from the session's array), then CONTINUE_END.
int32_t send_continuation(Session* session) {
  uint8_t ok_bytes[CONTINUE_OK_SIZE];
  ContinueOk ok;
  ok.entry_count = session->entry_count;
  ok.image_size = session->image_size;
  size_t n = encode_continue_ok(ok, ok_bytes);
  int32_t rc = session_send(session, MSG_CONTINUE_OK, std::span<const uint8_t>(ok_bytes, n));
  if (rc != STATUS_OK) return rc;
  const auto* bytes = reinterpret_cast<const uint8_t*>(session->entries);
  uint64_t left = session->entry_count;
  while (left > 0) {
    size_t count = left < ENTRIES_PER_FRAME ? static_cast<size_t>(left) : ENTRIES_PER_FRAME;
    rc = session_send(session, MSG_CONTINUE_ENTRIES, std::span<const uint8_t>(bytes, count * WIRE_ENTRY_SIZE));
    if (rc != STATUS_OK) return rc;
    bytes += count * WIRE_ENTRY_SIZE;
    left -= count;
  }
  return session_send(session, MSG_CONTINUE_END, {});
}

}  // namespace

void resume_set_takeover_wait_ms(uint32_t wait_ms) {
  g_takeover_wait_ms.store(wait_ms != 0 ? wait_ms : PARTIAL_TAKEOVER_WAIT_MS, std::memory_order_relaxed);
}

uint32_t resume_takeover_wait_ms() { return g_takeover_wait_ms.load(std::memory_order_relaxed); }

int32_t session_query_partial(Session* session, std::span<const uint8_t> payload) {
  QueryPartialRequest req;
  if (decode_query_partial(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;
  char workdir[SESSION_WORKDIR_SIZE];
  int32_t rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir);
  if (rc != STATUS_OK) return rc;

  std::unique_ptr<BackupHeader> header(new (std::nothrow) BackupHeader);
  if (!header) return STATUS_NOMEM;
  char path[PARTIAL_PATH_SIZE];
  // The type travels as a signed byte and is stored as an unsigned one.
  rc = partial_find_by_name(workdir, req.target_name, static_cast<uint8_t>(req.type), req.parent_uuid, path,
                            sizeof path, header.get());
  if (rc == STATUS_NOMEM) return rc;
  // Any other failure while looking reads as "none".
  PartialInfo info;
  if (rc == STATUS_OK) {
    info.found = true;
    info.uuid = header_uuid(*header);
    info.block_size = get_u32_le(header->span(), HDR_BLOCK_SIZE_OFF);
    info.source_size = get_u64_le(header->span(), HDR_SOURCE_SIZE_OFF);
    info.created = static_cast<uint64_t>(header_created(*header));
  }
  uint8_t out[PARTIAL_INFO_SIZE];
  size_t n = encode_partial_info(info, out);
  return session_send(session, MSG_PARTIAL_INFO, std::span<const uint8_t>(out, n));
}

int32_t session_continue(Session* session, std::span<const uint8_t> payload) {
  SubdirUuidRequest req;
  if (decode_subdir_uuid(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;
  char workdir[SESSION_WORKDIR_SIZE];
  int32_t rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir);
  if (rc != STATUS_OK) return rc;
  // wait_begin: no backup is open, so the record holds nothing of one.
  assert(session->image_fd < 0 && !session->journaling && session->entries == nullptr);

  char journal_path[PARTIAL_PATH_SIZE];
  rc = partial_find_by_uuid(workdir, req.uuid, journal_path, sizeof journal_path);
  if (rc == STATUS_NOMEM) return refuse_continue(session, STATUS_NOMEM, "out of memory");
  if (rc != STATUS_OK) return refuse_continue(session, STATUS_NOT_FOUND, "no partial backup with that uuid");

  // Ends a connection that still holds the partial (an agent reconnecting
  // before its old connection noticed) and waits for its session to finish
  // with a last checkpoint. Held by another target on the same storage, it
  // is asked for again until the same time limit: that holder cannot be
  // told to let go, but loses the lock when its session ends or it dies.
  rc = partial_lock_takeover(journal_path, session->channel.fd, resume_takeover_wait_ms());
  if (rc == STATUS_AGAIN) return refuse_continue(session, STATUS_AGAIN, "the partial backup is in use");
  // Removed (discarded, expired or finished) while this session waited.
  if (rc == STATUS_NOT_FOUND) return refuse_continue(session, STATUS_NOT_FOUND, "no partial backup with that uuid");
  if (rc != STATUS_OK) return refuse_continue(session, rc, "cannot continue the partial backup");
  LockHold lock(journal_path);

  PartialOwner owner;
  if (owner.p == nullptr) return refuse_continue(session, STATUS_NOMEM, "out of memory");
  PartialBackup* p = owner.p;
  rc = partial_load(journal_path, p);
  if (rc == STATUS_NOMEM) return refuse_continue(session, STATUS_NOMEM, "out of memory");
  // The journal reads, but names files outside the working directory.
  if (rc == STATUS_INVALID) return refuse_continue(session, STATUS_CORRUPT, "bad journal");
  if (rc != STATUS_OK) {
    return refuse_continue(session, STATUS_CORRUPT, "the partial backup has no valid checkpoint");
  }
  if (!is_plain_file_name(p->image_name) || !is_plain_file_name(p->catalog_name)) {
    return refuse_continue(session, STATUS_CORRUPT, "bad journal");
  }

  char image_path[SESSION_IMAGE_PATH_SIZE];
  char catalog_path[SESSION_CATALOG_PATH_SIZE];
  char tmp_image_path[SESSION_TMP_IMAGE_PATH_SIZE];
  // Sizes checked above: none of these is cut.
  (void)snprintf(image_path, sizeof image_path, "%s/%s", workdir, p->image_name);
  (void)snprintf(catalog_path, sizeof catalog_path, "%s/%s", workdir, p->catalog_name);
  (void)snprintf(tmp_image_path, sizeof tmp_image_path, "%s%s", image_path, TMP_SUFFIX.data());

  // Both files are cut back to the last checkpoint and fsynced before the
  // agent hears of them: what CONTINUE_OK states is on disk.
  int raw_fd = -1;
  rc = partial_prepare_image(tmp_image_path, p->checkpoint_image_size, &raw_fd);
  if (rc != STATUS_OK) return refuse_continue(session, rc, "cannot continue the partial backup");
  UniqueFd image(raw_fd);
  rc = journal_reopen(&session->journal, journal_path, *p);
  if (rc != STATUS_OK) return refuse_continue(session, rc, "cannot continue the partial backup");
  // The index gets its memory now; it is filled once the entries are on
  // their way, while the agent reads them.
  KeyIndex index;
  rc = key_index_init(&index, p->entry_count);
  if (rc != STATUS_OK) {
    journal_close(&session->journal);
    return refuse_continue(session, STATUS_NOMEM, "out of memory");
  }

  // The session takes the partial over.
  memcpy(session->header.bytes, p->header.bytes, BACKUP_HEADER_SIZE);
  copy_text(session->image_path, sizeof session->image_path, image_path);
  copy_text(session->catalog_path, sizeof session->catalog_path, catalog_path);
  copy_text(session->tmp_image_path, sizeof session->tmp_image_path, tmp_image_path);
  copy_text(session->journal_path, sizeof session->journal_path, journal_path);
  session->image_fd = image.release();
  session->image_size = p->checkpoint_image_size;
  session->image_uncached = p->checkpoint_image_size;  // cut and fsynced: nothing worth caching
  session->entries = p->entries;
  session->entry_count = p->entry_count;
  session->entry_capacity = p->entry_count;
  p->entries = nullptr;
  p->entry_count = 0;
  session->key_index = index;
  session->journaling = true;
  session->resumed = true;
  lock.keep();  // released by the backup's end, a journal failure or the session's end

  char uuid_text[UUID_TEXT_SIZE];
  uuid_format(header_uuid(session->header), uuid_text);
  log_write(LEVEL_INFO, "continuing backup %s: %llu entries, %llu image bytes kept", uuid_text,
            static_cast<unsigned long long>(session->entry_count),
            static_cast<unsigned long long>(session->image_size));

  rc = send_continuation(session);
  if (rc != STATUS_OK) return rc;  // the session's end leaves the partial as it was
  fill_key_index(session);  // complete before the first BLOCK or DROP_ENTRIES is read
  session->state = SessionState::receiving_blocks;
  return STATUS_OK;
}

int32_t session_discard_partial(Session* session, std::span<const uint8_t> payload) {
  SubdirUuidRequest req;
  if (decode_subdir_uuid(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;
  char workdir[SESSION_WORKDIR_SIZE];
  int32_t rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir);
  if (rc != STATUS_OK) return rc;

  char journal_path[PARTIAL_PATH_SIZE];
  if (partial_find_by_uuid(workdir, req.uuid, journal_path, sizeof journal_path) == STATUS_OK &&
      partial_lock_takeover(journal_path, session->channel.fd, resume_takeover_wait_ms()) == STATUS_OK) {
    partial_remove(journal_path);
    partial_unlock(journal_path);
  }
  // Answered the same whether or not anything was deleted.
  return session_send(session, MSG_DISCARD_OK, {});
}

}  // namespace orv
