#include "client/agent_backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "client/progress.h"
#include "core/aligned_buffer.h"
#include "core/file_io.h"
#include "core/status.h"
#include "core/text.h"
#include "integrity/sha256.h"

namespace orv {

namespace {

constexpr uint32_t kMaxRetryDelayMs = 8000;
// Stale partials of the same name, type and parent looked at before a new
// backup begins.
constexpr int kMaxPartialLookups = 8;

// Per-block state of one run.
constexpr uint8_t kProcessed = 0x01;  // digest computed in this run
constexpr uint8_t kNeed = 0x02;       // differs from the parent's chain (always for FULL)
constexpr uint8_t kStored = 0x04;     // the backup on the target holds the current content
constexpr uint8_t kSentOnce = 0x08;   // sent at least once in this run
constexpr uint8_t kZero = 0x10;       // all bytes zero

// What a continued partial holds for a block.
constexpr uint8_t kKeptNone = 0;
constexpr uint8_t kKeptDigest = 1;   // an entry with this client's digest and the expected length
constexpr uint8_t kKeptUnknown = 2;  // an entry that cannot be checked: it must be replaced or dropped

// One array per field, so a large source costs about 100 bytes per block.
struct BlockTable {
  uint64_t count = 0;
  uint8_t* flags = nullptr;
  uint8_t* digest = nullptr;  // count x 32: this run's digests
  uint8_t* parent_have = nullptr;
  uint8_t* parent_digest = nullptr;
  uint8_t* kept = nullptr;
  uint8_t* kept_digest = nullptr;

  BlockTable() = default;
  BlockTable(const BlockTable&) = delete;
  BlockTable& operator=(const BlockTable&) = delete;
  ~BlockTable() {
    free(flags);
    free(digest);
    free(parent_have);
    free(parent_digest);
    free(kept);
    free(kept_digest);
  }

  [[nodiscard]] int32_t init(uint64_t n) {
    count = n;
    size_t cells = n == 0 ? 1 : static_cast<size_t>(n);
    flags = static_cast<uint8_t*>(calloc(cells, 1));
    digest = static_cast<uint8_t*>(calloc(cells, SHA256_DIGEST_SIZE));
    parent_have = static_cast<uint8_t*>(calloc(cells, 1));
    parent_digest = static_cast<uint8_t*>(calloc(cells, SHA256_DIGEST_SIZE));
    kept = static_cast<uint8_t*>(calloc(cells, 1));
    kept_digest = static_cast<uint8_t*>(calloc(cells, SHA256_DIGEST_SIZE));
    bool ok = flags != nullptr && digest != nullptr && parent_have != nullptr && parent_digest != nullptr &&
              kept != nullptr && kept_digest != nullptr;
    return ok ? STATUS_OK : STATUS_NOMEM;
  }

  uint8_t* digest_of(uint64_t i) const { return digest + i * SHA256_DIGEST_SIZE; }
  uint8_t* parent_digest_of(uint64_t i) const { return parent_digest + i * SHA256_DIGEST_SIZE; }
  uint8_t* kept_digest_of(uint64_t i) const { return kept_digest + i * SHA256_DIGEST_SIZE; }
  bool kept_matches(uint64_t i) const {
    return kept[i] == kKeptDigest && memcmp(kept_digest_of(i), digest_of(i), SHA256_DIGEST_SIZE) == 0;
  }
  void clear_kept() {
    if (count == 0) return;
    memset(kept, 0, count);
  }
};

// A growable list of block keys.
struct KeyList {
  uint64_t* keys = nullptr;
  size_t count = 0;
  size_t cap = 0;

  KeyList() = default;
  KeyList(const KeyList&) = delete;
  KeyList& operator=(const KeyList&) = delete;
  ~KeyList() { free(keys); }

  [[nodiscard]] int32_t push(uint64_t key) {
    if (count == cap) {
      size_t next = cap == 0 ? 256 : cap * 2;
      void* grown = realloc(keys, next * sizeof(uint64_t));
      if (grown == nullptr) return STATUS_NOMEM;
      keys = static_cast<uint64_t*>(grown);
      cap = next;
    }
    keys[count++] = key;
    return STATUS_OK;
  }
  void clear() { count = 0; }
};

int32_t file_source_read(void* context, uint64_t offset, uint8_t* buf, size_t len) {
  const auto* src = static_cast<const FileSource*>(context);
  size_t got = 0;
  int32_t rc = STATUS_OK;
  if (src->direct_fd.valid() && is_direct_aligned(offset) && is_direct_aligned(buf)) {
    // The whole pages that hold the block; at the device's end the read
    // comes back short of the rounded length, but not short of len.
    rc = file_pread_direct(src->direct_fd.get(), src->fd.get(), buf, len, offset, &got);
  } else {
    rc = file_pread_full(src->fd.get(), buf, len, offset, &got);
  }
  if (rc != STATUS_OK) return rc;
  return got >= len ? STATUS_OK : STATUS_IO;  // the source shrank while it was read
}

bool all_zero(const uint8_t* p, size_t n) { return n == 0 || (p[0] == 0 && memcmp(p, p + 1, n - 1) == 0); }

void sleep_ms(uint32_t ms) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Closes the client when an attempt ends, however it ends.
struct ClientGuard {
  Client* client;
  bool open = false;
  ~ClientGuard() {
    if (open) client_close(client);
  }
};

struct ChainCollect {
  BlockTable* table = nullptr;
  uint64_t source_size = 0;
  uint32_t block_size = 0;
  bool have_header = false;
  bool block_size_mismatch = false;
  Uuid root;
};

uint32_t block_length(uint64_t source_size, uint32_t block_size, uint64_t index) {
  uint64_t off = index * block_size;
  uint64_t left = source_size - off;
  return left < block_size ? static_cast<uint32_t>(left) : block_size;
}

// Applies the parent chain, oldest backup first: the last entry for a block
// wins.
int32_t collect_parent_chain(void* context, uint16_t type, std::span<const uint8_t> payload) {
  auto* cc = static_cast<ChainCollect*>(context);
  if (type == MSG_CHAIN_HEADER) {
    std::span<const uint8_t> header;
    int32_t rc = decode_chain_header(payload, &header);
    if (rc != STATUS_OK) return rc;
    if (get_u32_le(header, HDR_BLOCK_SIZE_OFF) != cc->block_size) cc->block_size_mismatch = true;
    if (!cc->have_header) cc->root = wire_uuid_get(header, HDR_UUID_OFF);
    cc->have_header = true;
    return STATUS_OK;
  }
  size_t n = 0;
  int32_t rc = decode_entry_frame(payload, &n);
  if (rc != STATUS_OK || !cc->have_header) return STATUS_PROTOCOL;
  BlockTable* t = cc->table;
  for (size_t i = 0; i < n; ++i) {
    CatalogEntryFields e = decode_catalog_entry(payload.subspan(i * CATALOG_ENTRY_SIZE, CATALOG_ENTRY_SIZE));
    if (e.key >= t->count) continue;  // the source is smaller now
    bool known = e.agent_byte == AGENT_ENTRY_SHA256 &&
                 e.agent_u32 == block_length(cc->source_size, cc->block_size, e.key);
    t->parent_have[e.key] = known ? 1 : 0;
    if (known) memcpy(t->parent_digest_of(e.key), e.agent_tail, SHA256_DIGEST_SIZE);
  }
  return STATUS_OK;
}

struct KeptCollect {
  BlockTable* table = nullptr;
  KeyList* beyond = nullptr;  // entries for blocks the source no longer has
  uint64_t source_size = 0;
  uint32_t block_size = 0;
  int32_t status = STATUS_OK;
};

int32_t collect_kept(void* context, uint16_t type, std::span<const uint8_t> payload) {
  (void)type;  // only CONTINUE_ENTRIES arrive here
  auto* kc = static_cast<KeptCollect*>(context);
  size_t n = 0;
  int32_t rc = decode_entry_frame(payload, &n);
  if (rc != STATUS_OK) return rc;
  BlockTable* t = kc->table;
  for (size_t i = 0; i < n; ++i) {
    CatalogEntryFields e = decode_catalog_entry(payload.subspan(i * CATALOG_ENTRY_SIZE, CATALOG_ENTRY_SIZE));
    if ((e.flags & ENTRY_FLAG_DROPPED) != 0) continue;  // removed at END unless sent again
    if (e.key >= t->count) {
      rc = kc->beyond->push(e.key);
      if (rc != STATUS_OK) {
        kc->status = rc;
        return rc;
      }
      continue;
    }
    uint32_t expected = block_length(kc->source_size, kc->block_size, e.key);
    bool no_data = (e.flags & ENTRY_FLAG_NO_DATA) != 0;
    bool checkable = e.agent_byte == AGENT_ENTRY_SHA256 && e.agent_u32 == expected && (no_data || e.length == expected);
    t->kept[e.key] = checkable ? kKeptDigest : kKeptUnknown;
    if (checkable) memcpy(t->kept_digest_of(e.key), e.agent_tail, SHA256_DIGEST_SIZE);
  }
  return STATUS_OK;
}

class BackupRun {
 public:
  BackupRun(const BackupParams& params, const BackupSource& source, BackupResult* result, AgentError* err)
      : p_(params), src_(source), res_(result), err_(err) {}
  BackupRun(const BackupRun&) = delete;
  BackupRun& operator=(const BackupRun&) = delete;
  ~BackupRun() = default;

  int32_t run() {
    *res_ = BackupResult{};
    res_->type = p_.type;
    res_->source_size = src_.size;
    block_size_ = p_.block_size;
    if (p_.type != BACKUP_FULL && p_.type != BACKUP_DIFF && p_.type != BACKUP_INC) {
      agent_error_set(err_, STATUS_INVALID, "unknown backup type %u", static_cast<unsigned>(p_.type));
      return STATUS_INVALID;
    }
    if (p_.type == BACKUP_FULL) {
      int32_t rc = setup_tables();
      if (rc != STATUS_OK) return rc;
      prepared_ = true;
    }
    uint32_t failures = 0;
    uint32_t delay = p_.retry_delay_ms;
    for (;;) {
      uint64_t before = progress_mark();
      int32_t rc = attempt();
      if (rc == STATUS_OK) {
        progress_finish(&progress_, done_bytes());
        fill_stats();
        return STATUS_OK;
      }
      if (!err_->transport) return fail(rc);
      if (progress_mark() > before) {
        failures = 0;
        delay = p_.retry_delay_ms;
      }
      if (failures >= p_.retries) return fail(rc);
      ++failures;
      ++res_->reconnects;
      sleep_ms(delay);
      delay = delay * 2 > kMaxRetryDelayMs ? kMaxRetryDelayMs : delay * 2;
    }
  }

 private:
  int32_t fail(int32_t rc) {
    progress_finish(&progress_, done_bytes());
    return rc;
  }

  uint64_t done_bytes() const {
    uint64_t d = sent_upto_ * static_cast<uint64_t>(block_size_);
    return d < src_.size ? d : src_.size;
  }
  // Something that grows whenever an attempt got further than the last.
  uint64_t progress_mark() const { return sent_upto_ + acked_; }

  int32_t setup_tables() {
    res_->block_size = block_size_;
    uint64_t count = src_.size == 0 ? 0 : (src_.size - 1) / block_size_ + 1;
    res_->blocks = count;
    int32_t rc = table_.init(count);
    if (rc == STATUS_OK) {
      if (buf_storage_.allocate(block_size_)) {
        buf_ = buf_storage_.get();
      } else {
        rc = STATUS_NOMEM;
      }
    }
    if (rc != STATUS_OK) {
      agent_error_set(err_, rc, "no memory for the block table of %llu blocks", static_cast<unsigned long long>(count));
      return rc;
    }
    progress_start(&progress_, "backup", src_.size, p_.progress);
    return STATUS_OK;
  }

  // One connection: from HELLO to END_OK, or to the failure that ends it.
  int32_t attempt() {
    Client client;
    HelloReply reply;
    int32_t rc = agent_connect(p_.target, FLAG_CONTINUE, &client, &reply, err_);
    if (rc != STATUS_OK) return rc;
    ClientGuard guard{&client, true};
    if (!prepared_) {
      rc = prepare_parent(&client);
      if (rc != STATUS_OK) return rc;
      prepared_ = true;
    }
    bool finished = false;
    rc = open_backup(&client, &finished);
    if (rc != STATUS_OK || finished) return rc;
    rc = send_blocks(&client);
    if (rc != STATUS_OK) return rc;
    return finish(&client);
  }

  // INC and DIFF: the parent, its block size and what its chain holds.
  int32_t prepare_parent(Client* client) {
    FindParentRequest fp;
    copy_text(fp.target_subdir, sizeof fp.target_subdir, p_.target.subdir);
    copy_text(fp.target_name, sizeof fp.target_name, p_.name);
    fp.type = p_.type == BACKUP_DIFF ? static_cast<int8_t>(BACKUP_FULL) : static_cast<int8_t>(-1);
    bool found = false;
    std::span<const uint8_t> header;
    int32_t rc = client_find_parent(client, fp, &found, &header);
    if (rc != STATUS_OK) {
      agent_error_from(err_, "FIND_PARENT", rc, client);
      return rc;
    }
    if (!found) {
      agent_error_set(err_, STATUS_NOT_FOUND, "no %s backup named '%s' in '%s' to build on: make a full backup first",
                      p_.type == BACKUP_DIFF ? "FULL" : "earlier", p_.name, p_.target.subdir);
      return STATUS_NOT_FOUND;
    }
    parent_ = wire_uuid_get(header, HDR_UUID_OFF);
    uint32_t parent_block_size = get_u32_le(header, HDR_BLOCK_SIZE_OFF);
    if (parent_block_size == 0 || parent_block_size > BLOCK_MAX_DATA) {
      agent_error_set(err_, STATUS_CORRUPT, "the parent backup has an unusable block size %u", parent_block_size);
      return STATUS_CORRUPT;
    }
    if (p_.block_size_given && p_.block_size != parent_block_size) {
      agent_error_set(err_, STATUS_INVALID,
                      "--block-size %u differs from the parent's block size %u; an %s backup must use the "
                      "parent's",
                      p_.block_size, parent_block_size, agent_type_name(p_.type));
      return STATUS_INVALID;
    }
    if (table_.count == 0 && buf_ == nullptr) {
      block_size_ = parent_block_size;
      rc = setup_tables();
      if (rc != STATUS_OK) return rc;
    }
    ChainCollect cc;
    cc.table = &table_;
    cc.source_size = src_.size;
    cc.block_size = block_size_;
    SubdirUuidRequest fetch;
    copy_text(fetch.target_subdir, sizeof fetch.target_subdir, p_.target.subdir);
    fetch.uuid = parent_;
    rc = client_fetch_chain(client, fetch, collect_parent_chain, &cc);
    if (rc != STATUS_OK) {
      agent_error_from(err_, "FETCH_CHAIN", rc, client);
      return rc;
    }
    if (cc.block_size_mismatch || !cc.have_header) {
      agent_error_set(err_, STATUS_CORRUPT, "the parent's chain mixes block sizes; make a full backup first");
      return STATUS_CORRUPT;
    }
    chain_ = cc.root;
    res_->parent_uuid = parent_;
    return STATUS_OK;
  }

  QueryPartialRequest partial_query() const {
    QueryPartialRequest q;
    copy_text(q.target_subdir, sizeof q.target_subdir, p_.target.subdir);
    copy_text(q.target_name, sizeof q.target_name, p_.name);
    q.type = static_cast<int8_t>(p_.type);
    q.parent_uuid = parent_;
    return q;
  }

  SubdirUuidRequest subdir_uuid(const Uuid& id) const {
    SubdirUuidRequest r;
    copy_text(r.target_subdir, sizeof r.target_subdir, p_.target.subdir);
    r.uuid = id;
    return r;
  }

  // Puts the session into receiving_blocks: continues this run's partial (or
  // an earlier run's), or begins a new backup. *finished when the backup
  // turns out to be complete already (the connection was lost after END).
  int32_t open_backup(Client* client, bool* finished) {
    PartialInfo info;
    int32_t rc;
    if (!begun_) {
      // A partial left by an earlier run for the same name, type and parent.
      for (int i = 0; i < kMaxPartialLookups; ++i) {
        rc = client_query_partial(client, partial_query(), &info);
        if (rc != STATUS_OK) {
          agent_error_from(err_, "QUERY_PARTIAL", rc, client);
          return rc;
        }
        if (!info.found) break;
        if (info.block_size == block_size_ && info.source_size == src_.size) {
          bool refused = false;
          rc = continue_partial(client, info.uuid, &refused);
          if (rc == STATUS_OK) {
            res_->continued_earlier = true;
            return STATUS_OK;
          }
          if (!refused || rc == STATUS_AGAIN) return rc;
        }
        rc = client_discard_partial(client, subdir_uuid(info.uuid));
        if (rc != STATUS_OK) {
          agent_error_from(err_, "DISCARD_PARTIAL", rc, client);
          return rc;
        }
      }
      return begin_new(client);
    }

    rc = client_query_partial(client, partial_query(), &info);
    if (rc != STATUS_OK) {
      agent_error_from(err_, "QUERY_PARTIAL", rc, client);
      return rc;
    }
    // CONTINUE names the partial by uuid, so it finds this run's partial
    // even when the query reported another one of the same name.
    bool refused = false;
    rc = continue_partial(client, uuid_, &refused);
    if (rc == STATUS_OK || !refused || rc == STATUS_AGAIN) return rc;
    if (rc == STATUS_NOT_FOUND) {
      bool listed = false;
      rc = find_finished(client, &listed);
      if (rc != STATUS_OK) return rc;
      if (listed) {
        *finished = true;
        return STATUS_OK;
      }
    } else {
      rc = client_discard_partial(client, subdir_uuid(uuid_));
      if (rc != STATUS_OK) {
        agent_error_from(err_, "DISCARD_PARTIAL", rc, client);
        return rc;
      }
    }
    // Nothing usable is left on the target: start over under a new uuid.
    return begin_new(client);
  }

  int32_t begin_new(Client* client) {
    int32_t rc = agent_new_uuid(&uuid_);
    if (rc != STATUS_OK) {
      agent_error_set(err_, rc, "cannot make a backup uuid");
      return rc;
    }
    BeginRequest b;
    b.uuid = uuid_;
    b.parent_uuid = parent_;
    b.chain_uuid = p_.type == BACKUP_FULL ? uuid_ : chain_;
    b.type = p_.type;
    b.block_size = block_size_;
    b.source_size = src_.size;
    copy_text(b.target_name, sizeof b.target_name, p_.name);
    copy_text(b.target_subdir, sizeof b.target_subdir, p_.target.subdir);
    copy_text(b.retention, sizeof b.retention, p_.retention);
    copy_text(b.retention_label, sizeof b.retention_label, p_.label);
    table_.clear_kept();
    drops_.clear();
    resume_from_ = 0;
    for (uint64_t i = 0; i < table_.count; ++i) table_.flags[i] &= static_cast<uint8_t>(~kStored);
    // From here on a reconnect looks for this uuid's partial first.
    begun_ = true;
    res_->uuid = uuid_;
    rc = client_begin(client, b);
    if (rc != STATUS_OK) agent_error_from(err_, "BEGIN", rc, client);
    return rc;
  }

  // CONTINUE of the partial `id`. *refused when the target answered ERROR
  // (the session then stays usable); STATUS_AGAIN (partial in use) is
  // reported as a transport failure so that the run tries again later.
  int32_t continue_partial(Client* client, const Uuid& id, bool* refused) {
    *refused = false;
    table_.clear_kept();
    KeyList beyond;
    KeptCollect kc;
    kc.table = &table_;
    kc.beyond = &beyond;
    kc.source_size = src_.size;
    kc.block_size = block_size_;
    ContinueOk ok;
    int32_t rc = client_continue(client, subdir_uuid(id), &ok, collect_kept, &kc);
    if (rc != STATUS_OK) {
      if (kc.status != STATUS_OK) {
        agent_error_set(err_, kc.status, "no memory for the entries of the partial backup");
        return kc.status;
      }
      agent_error_from(err_, "CONTINUE", rc, client);
      *refused = client->got_error;
      if (rc == STATUS_AGAIN) err_->transport = true;
      return rc;
    }
    uuid_ = id;
    begun_ = true;
    res_->uuid = id;
    return reconcile(beyond);
  }

  // After CONTINUE: where to go on, and which kept entries must be dropped.
  int32_t reconcile(const KeyList& beyond) {
    drops_.clear();
    uint64_t resume = sent_upto_;
    for (uint64_t i = 0; i < sent_upto_; ++i) {
      if ((table_.flags[i] & kNeed) != 0 && !table_.kept_matches(i)) {
        resume = i;
        break;
      }
    }
    for (uint64_t i = 0; i < table_.count; ++i) {
      uint8_t& f = table_.flags[i];
      f &= static_cast<uint8_t>(~kStored);
      if (i >= resume) continue;
      if ((f & kNeed) != 0 || table_.kept_matches(i)) {
        f |= kStored;
      } else if (table_.kept[i] != kKeptNone) {
        int32_t rc = drops_.push(i);
        if (rc != STATUS_OK) return nomem();
      }
    }
    for (size_t i = 0; i < beyond.count; ++i) {
      int32_t rc = drops_.push(beyond.keys[i]);
      if (rc != STATUS_OK) return nomem();
    }
    resume_from_ = resume;
    return STATUS_OK;
  }

  int32_t nomem() {
    agent_error_set(err_, STATUS_NOMEM, "out of memory");
    return STATUS_NOMEM;
  }

  // After a connection lost without a partial to continue: did END succeed?
  int32_t find_finished(Client* client, bool* listed) {
    *listed = false;
    BackupListEntry* entries = nullptr;
    uint32_t count = 0;
    bool truncated = false;
    int32_t rc = agent_list(client, p_.target, p_.name, &entries, &count, &truncated, err_);
    if (rc != STATUS_OK) return rc;
    for (uint32_t i = 0; i < count; ++i) {
      if (uuid_equal(entries[i].uuid, uuid_) == 1) {
        *listed = true;
        res_->entry_count = entries[i].entry_count;
        res_->image_size = entries[i].image_size;
        sent_upto_ = table_.count;
      }
    }
    delete[] entries;
    return STATUS_OK;
  }

  int32_t read_ack(Client* client) {
    bool has_seq = false;
    uint64_t seq = 0;
    int32_t rc = client_read_ack(client, &has_seq, &seq);
    if (rc != STATUS_OK) {
      agent_error_from(err_, "BLOCK", rc, client);
      return rc;
    }
    ++acked_;
    return STATUS_OK;
  }

  int32_t send_block(Client* client, uint64_t index, uint32_t length, bool zero) {
    if (in_flight_ >= p_.window) {
      int32_t rc = read_ack(client);
      if (rc != STATUS_OK) return rc;
      --in_flight_;
    }
    BlockHeader h;
    h.key = index;
    h.agent_u32 = length;
    h.agent_u8 = AGENT_ENTRY_SHA256;
    memcpy(h.agent_tail, table_.digest_of(index), SHA256_DIGEST_SIZE);
    std::span<const uint8_t> data;
    if (zero) {
      h.flags = ENTRY_FLAG_NO_DATA;
    } else {
      h.data_length = length;
      data = std::span<const uint8_t>(buf_, length);
    }
    int32_t rc = client_block_send(client, h, data);
    if (rc != STATUS_OK) {
      agent_error_from(err_, "BLOCK", rc, client);
      return rc;
    }
    ++in_flight_;
    uint8_t& f = table_.flags[index];
    if ((f & kSentOnce) != 0) {
      ++res_->blocks_resent;
    } else {
      ++res_->blocks_sent;
      if (!zero) res_->bytes_sent += length;
    }
    f |= kSentOnce | kStored;
    return STATUS_OK;
  }

  int32_t send_blocks(Client* client) {
    in_flight_ = 0;
    for (uint64_t i = resume_from_; i < table_.count; ++i) {
      uint8_t& f = table_.flags[i];
      // An unchanged block whose digest is known needs no second read,
      // unless a continued partial holds an entry for it.
      if ((f & kProcessed) != 0 && (f & kNeed) == 0 && table_.kept[i] == kKeptNone) {
        advance(i);
        continue;
      }
      uint32_t length = block_length(src_.size, block_size_, i);
      int32_t rc = src_.read(src_.context, i * static_cast<uint64_t>(block_size_), buf_, length);
      if (rc != STATUS_OK) {
        agent_error_set(err_, rc, "cannot read block %llu of the source", static_cast<unsigned long long>(i));
        return rc;
      }
      bool zero = all_zero(buf_, length);
      sha256(buf_, length, table_.digest_of(i));
      bool need = p_.type == BACKUP_FULL || table_.parent_have[i] == 0 ||
                  memcmp(table_.parent_digest_of(i), table_.digest_of(i), SHA256_DIGEST_SIZE) != 0;
      f = static_cast<uint8_t>((f & kSentOnce) | kProcessed | (need ? kNeed : 0) | (zero ? kZero : 0));
      if (table_.kept_matches(i)) {
        f |= kStored;
      } else if (need) {
        rc = send_block(client, i, length, zero);
        if (rc != STATUS_OK) return rc;
      } else if (table_.kept[i] != kKeptNone) {
        rc = drops_.push(i);
        if (rc != STATUS_OK) return nomem();
      }
      advance(i);
    }
    for (; in_flight_ > 0; --in_flight_) {
      int32_t rc = read_ack(client);
      if (rc != STATUS_OK) return rc;
    }
    return send_drops(client);
  }

  void advance(uint64_t index) {
    if (index + 1 > sent_upto_) sent_upto_ = index + 1;
    progress_update(&progress_, done_bytes());
  }

  int32_t send_drops(Client* client) {
    size_t done = 0;
    while (done < drops_.count) {
      size_t n = drops_.count - done;
      if (n > DROP_MAX_KEYS) n = DROP_MAX_KEYS;
      bool has_seq = false;
      uint64_t seq = 0;
      int32_t rc = client_drop_entries(client, std::span<const uint64_t>(drops_.keys + done, n), &has_seq, &seq);
      if (rc != STATUS_OK) {
        agent_error_from(err_, "DROP_ENTRIES", rc, client);
        return rc;
      }
      done += n;
    }
    res_->entries_dropped = drops_.count;
    return STATUS_OK;
  }

  int32_t finish(Client* client) {
    EndOk ok;
    int32_t rc = client_end(client, &ok);
    if (rc != STATUS_OK) {
      agent_error_from(err_, "END", rc, client);
      return rc;
    }
    res_->entry_count = ok.entry_count;
    res_->image_size = ok.image_size;
    uint64_t expected = 0;
    for (uint64_t i = 0; i < table_.count; ++i) expected += (table_.flags[i] & kStored) != 0 ? 1 : 0;
    if (ok.entry_count != expected) {
      agent_error_set(err_, STATUS_CORRUPT, "the target stored %llu catalog entries where %llu were expected",
                      static_cast<unsigned long long>(ok.entry_count), static_cast<unsigned long long>(expected));
      return STATUS_CORRUPT;
    }
    return STATUS_OK;
  }

  void fill_stats() {
    for (uint64_t i = 0; i < table_.count; ++i) {
      uint8_t f = table_.flags[i];
      if ((f & kProcessed) != 0 && (f & kNeed) == 0 && (f & kStored) == 0) ++res_->blocks_unchanged;
      if ((f & kStored) != 0 && (f & kSentOnce) == 0) ++res_->blocks_kept;
      if ((f & kStored) != 0 && (f & kZero) != 0) ++res_->blocks_zero;
    }
  }

  const BackupParams& p_;
  const BackupSource& src_;
  BackupResult* res_;
  AgentError* err_;

  uint32_t block_size_ = 0;
  BlockTable table_;
  AlignedBuffer buf_storage_;  // one block, rounded up to whole pages (see BackupSource::read)
  uint8_t* buf_ = nullptr;
  Progress progress_;
  bool prepared_ = false;  // block table ready (and for INC/DIFF the parent's chain applied)
  bool begun_ = false;     // a backup under uuid_ was opened on the target in this run
  Uuid uuid_;
  Uuid parent_;
  Uuid chain_;
  KeyList drops_;
  uint64_t resume_from_ = 0;
  uint64_t sent_upto_ = 0;  // blocks [0, sent_upto_) were looked at in this run
  uint64_t acked_ = 0;
  uint32_t in_flight_ = 0;
};

}  // namespace

int32_t file_source_open(const char* path, FileSource* out) {
  out->fd.reset();
  out->direct_fd.reset();
  out->source = BackupSource{};
  int fd = -1;
  int32_t rc = file_open_read(path, &fd);
  if (rc != STATUS_OK) return rc;
  out->fd.reset(fd);
  uint64_t size = 0;
  rc = file_size(fd, &size);
  if (rc != STATUS_OK) {
    out->fd.reset();
    return rc;
  }
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint only
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
    int direct = -1;
    if (file_open_read_direct(path, &direct) == STATUS_OK) out->direct_fd.reset(direct);
  }
  out->source.size = size;
  out->source.context = out;
  out->source.read = file_source_read;
  return STATUS_OK;
}

int32_t agent_backup(const BackupParams& params, const BackupSource& source, BackupResult* result, AgentError* err) {
  *err = AgentError{};
  if (params.block_size == 0 || params.block_size > BLOCK_MAX_DATA || params.window == 0) {
    agent_error_set(err, STATUS_INVALID, "block size and window must be positive (block size at most %zu)",
                    BLOCK_MAX_DATA);
    return STATUS_INVALID;
  }
  BackupRun run(params, source, result, err);
  return run.run();
}

}  // namespace orv
