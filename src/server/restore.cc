#include "server/restore.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/endian.h"
#include "core/file_io.h"
#include "core/log.h"
#include "core/status.h"
#include "server/session.h"
#include "server/session_handlers.h"
#include "store/catalog.h"
#include "store/memory_budget.h"
#include "store/scan.h"

namespace orv {

namespace {

static_assert(RANGE_DATA_OFF + READ_RANGE_MAX_LENGTH <= FRAME_MAX_PAYLOAD);
static_assert(CHAIN_HEADER_SIZE == BACKUP_HEADER_SIZE);

bool list_entry_before(const BackupListEntry& a, const BackupListEntry& b) {
  // Creation times are signed seconds in the header; older first.
  auto ca = static_cast<int64_t>(a.created);
  auto cb = static_cast<int64_t>(b.created);
  if (ca != cb) return ca < cb;
  return memcmp(a.uuid.bytes, b.uuid.bytes, UUID_SIZE) < 0;
}

void fill_list_entry(const BackupHeader& h, BackupListEntry* e) {
  e->uuid = header_uuid(h);
  e->parent_uuid = header_parent_uuid(h);
  e->type = header_type(h);
  e->created = static_cast<uint64_t>(header_created(h));
  e->source_size = get_u64_le(h.span(), HDR_SOURCE_SIZE_OFF);
  e->image_size = header_image_size(h);
  e->entry_count = header_entry_count(h);
  static_assert(sizeof e->name >= HDR_NAME_SIZE);
  header_name(h, e->name);  // at most 63 characters and a NUL
}

struct ScanOwner {
  ScanItem* items = nullptr;
  size_t count = 0;
  ~ScanOwner() { free(items); }
};

struct ChainOwner {
  Chain chain;
  ~ChainOwner() { chain_free(&chain); }
};

// Copies text into a new owned buffer; null when memory is short.
std::unique_ptr<char[]> dup_text(const char* text) {
  size_t n = strlen(text);
  std::unique_ptr<char[]> copy(new (std::nothrow) char[n + 1]);
  if (copy) memcpy(copy.get(), text, n + 1);
  return copy;
}

// Sends the entries of one chain backup in frames of at most ENTRIES_PER_FRAME.
int32_t send_chain_entries(Session* session, const LoadedCatalog& cat) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(cat.entries);
  uint64_t left = cat.entry_count;
  while (left > 0) {
    size_t n = left < ENTRIES_PER_FRAME ? static_cast<size_t>(left) : ENTRIES_PER_FRAME;
    int32_t rc = session_send(session, MSG_CHAIN_ENTRIES, std::span<const uint8_t>(bytes, n * CATALOG_ENTRY_SIZE));
    if (rc != STATUS_OK) return rc;
    bytes += n * CATALOG_ENTRY_SIZE;
    left -= n;
  }
  return STATUS_OK;
}

}  // namespace

void restore_release(RestoreState* state) {
  state->files.reset();  // each RestoreFile closes its descriptor
  state->count = 0;
  state->range_buffer.reset();
}

size_t backup_list_order(BackupListEntry* entries, size_t count) {
  std::sort(entries, entries + count, list_entry_before);
  return count > BACKUP_LIST_MAX_ENTRIES ? count - BACKUP_LIST_MAX_ENTRIES : 0;
}

int32_t session_list_backups(Session* session, std::span<const uint8_t> payload) {
  ListBackupsRequest req;
  if (decode_list_backups(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;
  char workdir[WORKDIR_SIZE];
  int32_t rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir);
  if (rc != STATUS_OK) return rc;

  ScanOwner scan;
  rc = backup_scan(workdir, &scan.items, &scan.count);
  if (rc != STATUS_OK) return session_refuse(session, Refusal::end_session, rc, "failed to scan target directory");

  std::unique_ptr<BackupListEntry[]> list;
  if (scan.count > 0) {
    list.reset(new (std::nothrow) BackupListEntry[scan.count]);
    if (!list) return STATUS_NOMEM;
  }
  std::unique_ptr<BackupHeader> header(new (std::nothrow) BackupHeader);
  if (!header) return STATUS_NOMEM;

  size_t n = 0;
  for (size_t i = 0; i < scan.count; ++i) {
    // The scan already holds each backup's name (the header's 63 characters),
    // so backups of other names are skipped without reading their header.
    if (req.target_name[0] != '\0' && strncmp(scan.items[i].name, req.target_name, WIRE_NAME64_SIZE) != 0) continue;
    if (header_read(scan.items[i].path, header.get()) != STATUS_OK) continue;  // vanished or damaged since the scan
    fill_list_entry(*header, &list[n]);
    ++n;
  }
  header.reset();

  size_t first = backup_list_order(list.get(), n);
  size_t sent = n - first;
  size_t size = BACKUP_LIST_ENTRIES_OFF + sent * LIST_ENTRY_SIZE;
  std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[size]);
  if (!out) return STATUS_NOMEM;
  std::span<uint8_t> b(out.get(), size);
  encode_backup_list_prefix(static_cast<uint32_t>(sent), first > 0, b);
  for (size_t i = 0; i < sent; ++i) {
    encode_list_entry(list[first + i], b.subspan(BACKUP_LIST_ENTRIES_OFF + i * LIST_ENTRY_SIZE, LIST_ENTRY_SIZE));
  }
  return session_send(session, MSG_BACKUP_LIST, b);
}

int32_t session_find_parent(Session* session, std::span<const uint8_t> payload) {
  FindParentRequest req;
  if (decode_find_parent(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;
  char workdir[WORKDIR_SIZE];
  int32_t rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir);
  if (rc != STATUS_OK) return rc;

  std::unique_ptr<BackupHeader> header(new (std::nothrow) BackupHeader);
  if (!header) return STATUS_NOMEM;
  char path[STORE_PATH_SIZE];
  rc = backup_find_latest(workdir, req.target_name, req.type, path, sizeof path);
  if (rc == STATUS_OK) rc = header_read(path, header.get());
  bool found = rc == STATUS_OK;
  if (rc != STATUS_OK && rc != STATUS_NOT_FOUND) {
    log_write(LEVEL_ERROR, "find parent '%s' in %s failed (%s, status=%d)", req.target_name, workdir,
              status_text(rc), rc);
    return session_refuse(session, Refusal::end_session, rc,
                          "cannot read the backup directory on the target (permissions?)");
  }
  if (!found) memset(header->bytes, 0, sizeof header->bytes);  // "none" carries a zero header
  uint8_t flag = found ? 1 : 0;
  static_assert(FIND_PARENT_REPLY_HEADER_OFF == 1 && FIND_PARENT_REPLY_SIZE == 1 + BACKUP_HEADER_SIZE);
  return send_frame_parts(&session->channel, MSG_FIND_PARENT_REPLY, std::span<const uint8_t>(&flag, 1),
                          header->span());
}

int32_t session_fetch_chain(Session* session, std::span<const uint8_t> payload) {
  SubdirUuidRequest req;
  if (decode_subdir_uuid(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;
  char workdir[WORKDIR_SIZE];
  int32_t rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir);
  if (rc != STATUS_OK) return rc;

  char start[STORE_PATH_SIZE] = {};
  {
    ScanOwner scan;
    rc = backup_scan(workdir, &scan.items, &scan.count);
    if (rc != STATUS_OK) return session_refuse(session, Refusal::end_session, rc, "failed to scan target directory");
    for (size_t i = 0; i < scan.count; ++i) {
      if (uuid_equal(scan.items[i].uuid, req.uuid)) {
        memcpy(start, scan.items[i].path, sizeof start);
        break;
      }
    }
  }
  if (start[0] == '\0') return session_refuse(session, Refusal::end_session, STATUS_NOT_FOUND, "no such backup uuid");

  // The chain's tables count against the memory budget while they are held;
  // a chain that does not fit is refused as an allocation failure. Declared
  // before the chain, so the charge is returned after the tables are freed.
  struct ChargeHold {
    BudgetCharge c;
    ~ChargeHold() { budget_release(&c); }
  } charge;
  charge.c.budget = session->config->store.budget;
  ChainOwner owner;
  rc = chain_resolve(start, workdir, &owner.chain, &charge.c);
  if (rc != STATUS_OK) return session_refuse(session, Refusal::end_session, rc, "failed to load chain");
  const Chain& chain = owner.chain;

  // The new file table is built before anything is sent, so a shortage of
  // memory ends the session before the agent sees half a chain.
  std::unique_ptr<RestoreFile[]> files(new (std::nothrow) RestoreFile[chain.count]);
  if (!files) return STATUS_NOMEM;
  for (size_t i = 0; i < chain.count; ++i) {
    files[i].path = dup_text(chain.items[i].image_path);
    if (!files[i].path) return STATUS_NOMEM;
    files[i].size = header_image_size(chain.items[i].header);
    // Opened now rather than at the first READ_RANGE: once the agent has the
    // chain, an operator's prune deleting an expired backup of it must not
    // make it unreadable (an open descriptor outlives the file's name). A
    // failure here is left to READ_RANGE, which answers it as before.
    int fd = -1;
    if (file_open_read_regular(files[i].path.get(), &fd) == STATUS_OK) {
      files[i].fd.reset(fd);
      (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // advice only
    }
  }

  for (size_t i = 0; i < chain.count; ++i) {
    rc = session_send(session, MSG_CHAIN_HEADER, chain.items[i].header.span());
    if (rc != STATUS_OK) return rc;
    rc = send_chain_entries(session, chain.items[i]);
    if (rc != STATUS_OK) return rc;
  }

  // Indices of later READ_RANGE requests refer to this chain from now on.
  RestoreState* state = &session->restore;
  state->files = std::move(files);  // the previous table closes its descriptors
  state->count = chain.count;
  return session_send(session, MSG_CHAIN_END, {});
}

int32_t session_read_range(Session* session, std::span<const uint8_t> payload) {
  RangeRequest req;
  if (decode_read_range(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;
  RestoreState* state = &session->restore;
  if (state->count == 0) {
    return session_refuse(session, Refusal::end_session, STATUS_PROTOCOL, "READ_RANGE without a preceding FETCH_CHAIN");
  }
  // offset <= size first, so size - offset cannot wrap; a range that ends
  // exactly at the end of the file is served.
  if (req.file_index >= state->count || req.length == 0 || req.length > READ_RANGE_MAX_LENGTH ||
      req.offset > state->files[req.file_index].size || state->files[req.file_index].size - req.offset < req.length) {
    return session_refuse(session, Refusal::end_session, STATUS_INVALID,
                          "READ_RANGE outside the announced chain files");
  }

  if (!state->range_buffer) {
    if (!state->range_buffer.allocate(RANGE_BUFFER_SIZE)) return STATUS_NOMEM;
  }

  RestoreFile& file = state->files[req.file_index];
  if (!file.fd.valid()) {
    int fd = -1;
    int32_t rc = file_open_read_regular(file.path.get(), &fd);
    if (rc != STATUS_OK) return session_refuse(session, Refusal::end_session, rc, "failed to open image file");
    file.fd.reset(fd);
    // Restores mostly read an image front to back: a larger read-ahead window
    // keeps the disk busy while the previous range is being sent.
    (void)posix_fadvise(file.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // advice only
  }

  uint8_t* buffer = state->range_buffer.get();
  uint8_t* data = buffer + RANGE_BUFFER_DATA_OFF;
  size_t got = 0;
  int32_t rc = STATUS_OK;
  bool direct = false;
  if (is_direct_aligned(req.offset) && !file.direct_refused &&
      file_range_mostly_uncached(file.fd.get(), req.offset, req.length)) {
    if (!file.direct_fd.valid()) {
      int fd = -1;
      if (file_reopen_read_direct(file.fd.get(), file.path.get(), &fd) == STATUS_OK) {
        file.direct_fd.reset(fd);
      } else {
        file.direct_refused = true;  // the buffered descriptor serves every range
      }
    }
    direct = file.direct_fd.valid();
  }
  if (direct) {
    // Whole pages; a range that ends at the end of the file comes back
    // shorter than the rounded length but not shorter than asked.
    rc = file_pread_direct(file.direct_fd.get(), file.fd.get(), data, req.length, req.offset, &got);
  } else {
    rc = file_pread(file.fd.get(), data, req.length, req.offset, &got);
  }
  // A failed read and a short one are answered alike, with the status the
  // ERROR carries.
  if (rc != STATUS_OK || got != req.length) {
    return session_refuse(session, Refusal::end_session, STATUS_IO, "failed to read image file");
  }

  // Reading on where the last range ended through the cache: ask for the
  // next range of the same length now, so it is (being) read while this
  // one travels. Not after a direct read: that would fill the cache the
  // next read is meant to pass by.
  uint64_t end = req.offset + req.length;
  if (!direct && req.offset == file.next_offset && end < file.size) {
    uint64_t ahead = std::min<uint64_t>(req.length, file.size - end);
    (void)posix_fadvise(file.fd.get(), static_cast<off_t>(end), static_cast<off_t>(ahead),
                        POSIX_FADV_WILLNEED);  // advice only
  }
  file.next_offset = end;

  std::span<uint8_t> echo(data - RANGE_DATA_OFF, RANGE_DATA_OFF);
  put_u32_le(echo, RANGE_FILE_INDEX_OFF, req.file_index);
  put_u32_le(echo, RANGE_LENGTH_OFF, req.length);
  put_u64_le(echo, RANGE_OFFSET_OFF, req.offset);
  return session_send(session, MSG_RANGE_DATA, std::span<const uint8_t>(echo.data(), RANGE_DATA_OFF + req.length));
}

}  // namespace orv
