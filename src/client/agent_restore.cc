#include "client/agent_restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "client/progress.h"
#include "core/file_io.h"
#include "core/status.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "integrity/sha256.h"

namespace orv {

namespace {

// Zero bytes written per call when a block device needs zeros.
constexpr size_t kZeroChunk = 1u << 20;

// What the restore needs of each backup header of the chain.
struct Link {
  Uuid uuid;
  uint8_t type = 0;
  uint32_t block_size = 0;
  uint64_t source_size = 0;
  uint64_t image_size = 0;
  char name[HDR_NAME_SIZE] = {};
  uint64_t first_entry = 0;  // index of its first entry in the collected list
};

// The chain as FETCH_CHAIN delivers it: headers and all entries in order.
struct ChainData {
  Link* links = nullptr;
  size_t link_count = 0;
  size_t link_cap = 0;
  uint8_t* entries = nullptr;  // entry_count x 58 bytes
  uint64_t entry_count = 0;
  uint64_t entry_cap = 0;
  bool nomem = false;

  ChainData() = default;
  ChainData(const ChainData&) = delete;
  ChainData& operator=(const ChainData&) = delete;
  ~ChainData() {
    free(links);
    free(entries);
  }
};

int32_t collect_chain(void* context, uint16_t type, std::span<const uint8_t> payload) {
  auto* cd = static_cast<ChainData*>(context);
  if (type == MSG_CHAIN_HEADER) {
    std::span<const uint8_t> h;
    int32_t rc = decode_chain_header(payload, &h);
    if (rc != STATUS_OK) return rc;
    if (cd->link_count == cd->link_cap) {
      size_t next = cd->link_cap == 0 ? 8 : cd->link_cap * 2;
      void* grown = realloc(cd->links, next * sizeof(Link));
      if (grown == nullptr) {
        cd->nomem = true;
        return STATUS_NOMEM;
      }
      cd->links = static_cast<Link*>(grown);
      cd->link_cap = next;
    }
    Link& l = cd->links[cd->link_count++];
    l = Link{};
    l.uuid = wire_uuid_get(h, HDR_UUID_OFF);
    l.type = h[HDR_TYPE_OFF];
    l.block_size = get_u32_le(h, HDR_BLOCK_SIZE_OFF);
    l.source_size = get_u64_le(h, HDR_SOURCE_SIZE_OFF);
    l.image_size = get_u64_le(h, HDR_IMAGE_SIZE_OFF);
    get_text_field(h, HDR_NAME_OFF, HDR_NAME_SIZE, l.name);
    l.first_entry = cd->entry_count;
    return STATUS_OK;
  }
  size_t n = 0;
  int32_t rc = decode_entry_frame(payload, &n);
  if (rc != STATUS_OK || cd->link_count == 0) return STATUS_PROTOCOL;
  if (cd->entry_count + n > cd->entry_cap) {
    uint64_t next = cd->entry_cap == 0 ? 1024 : cd->entry_cap;
    while (next < cd->entry_count + n) next *= 2;
    void* grown = realloc(cd->entries, static_cast<size_t>(next) * WIRE_ENTRY_SIZE);
    if (grown == nullptr) {
      cd->nomem = true;
      return STATUS_NOMEM;
    }
    cd->entries = static_cast<uint8_t*>(grown);
    cd->entry_cap = next;
  }
  memcpy(cd->entries + cd->entry_count * WIRE_ENTRY_SIZE, payload.data(), n * WIRE_ENTRY_SIZE);
  cd->entry_count += n;
  return STATUS_OK;
}

// The newest entry of the chain for one block.
struct BlockSlot {
  uint64_t entry = 0;     // index into ChainData::entries
  uint32_t link = 0;      // file_index of the image holding it
  bool present = false;
};

class RestoreRun {
 public:
  RestoreRun(const RestoreParams& params, RestoreResult* result, AgentError* err)
      : p_(params), res_(result), err_(err) {}
  RestoreRun(const RestoreRun&) = delete;
  RestoreRun& operator=(const RestoreRun&) = delete;
  ~RestoreRun() {
    if (open_) client_close(&client_);
    free(slots_);
    delete[] zeros_;
  }

  int32_t run() {
    *res_ = RestoreResult{};
    HelloReply reply;
    int32_t rc = agent_connect(p_.target, 0, &client_, &reply, err_);
    if (rc != STATUS_OK) return rc;
    open_ = true;
    rc = choose_backup();
    if (rc == STATUS_OK) rc = fetch_chain();
    if (rc == STATUS_OK) rc = map_blocks();
    if (rc == STATUS_OK) rc = open_output();
    progress_start(&progress_, "restore", res_->source_size, p_.progress);
    if (rc == STATUS_OK) rc = restore_zero_blocks();
    if (rc == STATUS_OK) rc = restore_data_blocks();
    if (rc == STATUS_OK) rc = close_output();
    progress_finish(&progress_, done_);
    if (rc != STATUS_OK) return rc;
    if (res_->mismatches != 0 || res_->missing != 0) {
      finish_damage_report();
      return STATUS_CORRUPT;
    }
    return STATUS_OK;
  }

 private:
  int32_t choose_backup() {
    if (!p_.by_name) {
      res_->uuid = p_.uuid;
      return STATUS_OK;
    }
    BackupListEntry* entries = nullptr;
    uint32_t count = 0;
    bool truncated = false;
    int32_t rc = agent_list(&client_, p_.target, p_.name, &entries, &count, &truncated, err_);
    if (rc != STATUS_OK) return rc;
    if (count == 0) {
      agent_error_set(err_, STATUS_NOT_FOUND, "no backup named '%s' in '%s'", p_.name, p_.target.subdir);
      return STATUS_NOT_FOUND;
    }
    res_->uuid = entries[count - 1].uuid;  // the list is oldest first
    delete[] entries;
    return STATUS_OK;
  }

  int32_t fetch_chain() {
    SubdirUuidRequest r;
    copy_text(r.target_subdir, sizeof r.target_subdir, p_.target.subdir);
    r.uuid = res_->uuid;
    int32_t rc = client_fetch_chain(&client_, r, collect_chain, &chain_);
    if (rc != STATUS_OK) {
      if (chain_.nomem) {
        agent_error_set(err_, STATUS_NOMEM, "no memory for the chain's catalogs");
        return STATUS_NOMEM;
      }
      agent_error_from(err_, "FETCH_CHAIN", rc, &client_);
      return rc;
    }
    if (chain_.link_count == 0 || uuid_equal(chain_.links[chain_.link_count - 1].uuid, res_->uuid) != 1) {
      agent_error_set(err_, STATUS_PROTOCOL, "the chain the target sent does not end with the requested backup");
      return STATUS_PROTOCOL;
    }
    const Link& last = chain_.links[chain_.link_count - 1];
    res_->type = last.type;
    copy_text(res_->name, sizeof res_->name, last.name);
    res_->chain_length = static_cast<uint32_t>(chain_.link_count);
    res_->block_size = last.block_size;
    res_->source_size = last.source_size;
    if (last.block_size == 0 || last.block_size > READ_RANGE_MAX_LENGTH) {
      agent_error_set(err_, STATUS_UNSUPPORTED, "block size %u cannot be restored by this client", last.block_size);
      return STATUS_UNSUPPORTED;
    }
    for (size_t i = 0; i < chain_.link_count; ++i) {
      if (chain_.links[i].block_size != last.block_size) {
        agent_error_set(err_, STATUS_UNSUPPORTED, "the chain mixes block sizes (%u and %u)",
                        chain_.links[i].block_size, last.block_size);
        return STATUS_UNSUPPORTED;
      }
    }
    return STATUS_OK;
  }

  uint32_t block_length(uint64_t index) const {
    uint64_t left = res_->source_size - index * res_->block_size;
    return left < res_->block_size ? static_cast<uint32_t>(left) : res_->block_size;
  }

  WireEntry entry_of(uint64_t block) const {
    return decode_entry(std::span<const uint8_t>(chain_.entries + slots_[block].entry * WIRE_ENTRY_SIZE,
                                                 WIRE_ENTRY_SIZE));
  }

  int32_t map_blocks() {
    uint64_t count = res_->source_size == 0 ? 0 : (res_->source_size - 1) / res_->block_size + 1;
    res_->blocks = count;
    slots_ = static_cast<BlockSlot*>(calloc(count == 0 ? 1 : static_cast<size_t>(count), sizeof(BlockSlot)));
    if (slots_ == nullptr) {
      agent_error_set(err_, STATUS_NOMEM, "no memory for a table of %llu blocks",
                      static_cast<unsigned long long>(count));
      return STATUS_NOMEM;
    }
    for (size_t l = 0; l < chain_.link_count; ++l) {
      uint64_t end = l + 1 < chain_.link_count ? chain_.links[l + 1].first_entry : chain_.entry_count;
      for (uint64_t e = chain_.links[l].first_entry; e < end; ++e) {
        uint64_t key = get_u64_le(std::span<const uint8_t>(chain_.entries + e * WIRE_ENTRY_SIZE, WIRE_ENTRY_SIZE),
                                  WIRE_ENTRY_KEY_OFF);
        if (key >= count) continue;  // beyond the restored source's size
        slots_[key].entry = e;
        slots_[key].link = static_cast<uint32_t>(l);
        slots_[key].present = true;
      }
    }
    return STATUS_OK;
  }

  int32_t open_output() {
    struct stat st;
    bool exists = stat(p_.output, &st) == 0;
    block_device_ = exists && S_ISBLK(st.st_mode);
    int flags = O_WRONLY | O_CLOEXEC | (block_device_ ? 0 : O_CREAT | O_TRUNC);
    int fd = open(p_.output, flags, 0600);
    if (fd < 0) {
      char text[128];
      int32_t rc = status_from_errno(errno);
      agent_error_set(err_, rc, "cannot open %s for writing: %s", p_.output, errno_text(text, sizeof text));
      return rc;
    }
    out_.reset(fd);
    if (block_device_) {
      uint64_t size = 0;
      int32_t rc = file_size(fd, &size);
      if (rc != STATUS_OK || size < res_->source_size) {
        agent_error_set(err_, rc != STATUS_OK ? rc : STATUS_INVALID,
                        "the device %s is smaller than the backup's source (%llu bytes)", p_.output,
                        static_cast<unsigned long long>(res_->source_size));
        return rc != STATUS_OK ? rc : STATUS_INVALID;
      }
    }
    return STATUS_OK;
  }

  int32_t write_out(const uint8_t* data, size_t len, uint64_t offset) {
    size_t written = 0;
    int32_t rc = file_pwrite_all(out_.get(), data, len, offset, &written);
    if (rc == STATUS_OK && written != len) rc = STATUS_IO;
    if (rc != STATUS_OK) agent_error_set(err_, rc, "cannot write to %s", p_.output);
    return rc;
  }

  // Notes one damaged block for the report: the first few are named, the
  // rest counted.
  void damaged(uint64_t block, const char* why) {
    if (reported_ >= p_.report_limit) return;
    char item[96];
    size_t len = strlen(report_);
    int n = snprintf(item, sizeof item, "%sblock %llu %s", len == 0 ? "" : "; ",
                     static_cast<unsigned long long>(block), why);
    if (n < 0 || len + static_cast<size_t>(n) >= sizeof report_) return;
    memcpy(report_ + len, item, static_cast<size_t>(n) + 1);
    ++reported_;
  }

  void finish_damage_report() {
    uint64_t n = res_->mismatches + res_->missing;
    char more[64] = "";
    if (n > reported_) snprintf(more, sizeof more, "; and %llu more", static_cast<unsigned long long>(n - reported_));
    agent_error_set(err_, STATUS_CORRUPT, "%llu of %llu blocks could not be restored intact (%s%s); %s is not a "
                    "faithful copy",
                    static_cast<unsigned long long>(n), static_cast<unsigned long long>(res_->blocks), report_, more,
                    p_.output);
  }

  // Checks the agent fields of the newest entry of a block against the
  // block's place in the source; false (and counted) when they do not fit.
  bool entry_usable(uint64_t block, const WireEntry& e) {
    uint32_t expected = block_length(block);
    bool no_data = (e.flags & ENTRY_FLAG_NO_DATA) != 0;
    if (e.agent_u8 != AGENT_ENTRY_SHA256 || e.agent_u32 != expected) {
      ++res_->mismatches;
      damaged(block, "has no checksum of this client");
      return false;
    }
    const Link& l = chain_.links[slots_[block].link];
    if (!no_data && (e.length != expected || e.offset > l.image_size || l.image_size - e.offset < e.length)) {
      ++res_->mismatches;
      damaged(block, "has an entry that does not fit its image");
      return false;
    }
    return true;
  }

  int32_t restore_zero_blocks() {
    uint8_t zero_digest[SHA256_DIGEST_SIZE];
    uint32_t digest_len = 0;  // length the cached digest is for; 0 none
    for (uint64_t i = 0; i < res_->blocks; ++i) {
      if (!slots_[i].present) {
        ++res_->missing;
        damaged(i, "is missing from the chain");
        continue;
      }
      WireEntry e = entry_of(i);
      if ((e.flags & ENTRY_FLAG_NO_DATA) == 0) continue;
      if (!entry_usable(i, e)) continue;
      uint32_t len = block_length(i);
      if (zeros_ == nullptr) {
        zeros_ = new (std::nothrow) uint8_t[res_->block_size > kZeroChunk ? res_->block_size : kZeroChunk]();
        if (zeros_ == nullptr) {
          agent_error_set(err_, STATUS_NOMEM, "out of memory");
          return STATUS_NOMEM;
        }
      }
      if (digest_len != len) {
        sha256(zeros_, len, zero_digest);
        digest_len = len;
      }
      if (memcmp(zero_digest, e.agent_tail, SHA256_DIGEST_SIZE) != 0) {
        ++res_->mismatches;
        damaged(i, "is stored as zeros but its checksum says otherwise");
        continue;
      }
      // A new regular file reads as zeros where nothing was written.
      if (block_device_) {
        int32_t rc = write_out(zeros_, len, i * static_cast<uint64_t>(res_->block_size));
        if (rc != STATUS_OK) return rc;
      }
      ++res_->blocks_zero;
      done_ += len;
      progress_update(&progress_, done_);
    }
    return STATUS_OK;
  }

  // The next block at or after `from` that is read with READ_RANGE. Each
  // block is visited once, so an unusable entry is counted once.
  uint64_t next_data_block(uint64_t from) {
    for (; from < res_->blocks; ++from) {
      if (!slots_[from].present) continue;
      WireEntry e = entry_of(from);
      if ((e.flags & ENTRY_FLAG_NO_DATA) != 0) continue;
      if (!entry_usable(from, e)) continue;
      return from;
    }
    return res_->blocks;
  }

  RangeRequest range_of(uint64_t block) const {
    WireEntry e = entry_of(block);
    RangeRequest r;
    r.file_index = slots_[block].link;
    r.length = e.length;
    r.offset = e.offset;
    return r;
  }

  int32_t send_range(uint64_t block) {
    uint8_t out[READ_RANGE_SIZE];
    size_t n = encode_read_range(range_of(block), out);
    int32_t rc = client_send(&client_, MSG_READ_RANGE, std::span<const uint8_t>(out, n));
    if (rc != STATUS_OK) agent_error_from(err_, "READ_RANGE", rc, &client_);
    return rc;
  }

  int32_t receive_range(uint64_t block) {
    std::span<const uint8_t> payload;
    int32_t rc = client_expect(&client_, MSG_RANGE_DATA, &payload);
    if (rc != STATUS_OK) {
      agent_error_from(err_, "READ_RANGE", rc, &client_);
      return rc;
    }
    RangeRequest echo;
    std::span<const uint8_t> data;
    rc = decode_range_data(payload, &echo, &data);
    RangeRequest want = range_of(block);
    if (rc != STATUS_OK || echo.file_index != want.file_index || echo.offset != want.offset ||
        echo.length != want.length) {
      agent_error_set(err_, STATUS_PROTOCOL, "RANGE_DATA does not answer the request for block %llu",
                      static_cast<unsigned long long>(block));
      return STATUS_PROTOCOL;
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256(data.data(), data.size(), digest);
    WireEntry e = entry_of(block);
    ++res_->blocks_read;
    res_->bytes_read += data.size();
    if (memcmp(digest, e.agent_tail, SHA256_DIGEST_SIZE) != 0) {
      ++res_->mismatches;
      damaged(block, "does not match its checksum");
    }
    // Written even when damaged: the output then shows what the target holds.
    rc = write_out(data.data(), data.size(), block * static_cast<uint64_t>(res_->block_size));
    if (rc != STATUS_OK) return rc;
    done_ += data.size();
    progress_update(&progress_, done_);
    return STATUS_OK;
  }

  // READ_RANGE for every block with data, `window` requests ahead of the
  // answers; the target answers in order.
  int32_t restore_data_blocks() {
    uint32_t window = p_.window == 0 ? 1 : p_.window;
    uint64_t* queue = new (std::nothrow) uint64_t[window];
    if (queue == nullptr) {
      agent_error_set(err_, STATUS_NOMEM, "out of memory");
      return STATUS_NOMEM;
    }
    size_t head = 0;
    size_t queued = 0;
    uint64_t next = next_data_block(0);
    int32_t rc = STATUS_OK;
    while (rc == STATUS_OK && (queued > 0 || next < res_->blocks)) {
      while (rc == STATUS_OK && queued < window && next < res_->blocks) {
        rc = send_range(next);
        queue[(head + queued) % window] = next;
        ++queued;
        next = next_data_block(next + 1);
      }
      if (rc != STATUS_OK) break;
      rc = receive_range(queue[head]);
      head = (head + 1) % window;
      --queued;
    }
    delete[] queue;
    return rc;
  }

  int32_t close_output() {
    if (!block_device_) {
      int32_t rc = file_truncate(out_.get(), res_->source_size);
      if (rc != STATUS_OK) {
        agent_error_set(err_, rc, "cannot set the size of %s", p_.output);
        return rc;
      }
    }
    int32_t rc = file_sync(out_.get());
    if (rc == STATUS_OK) rc = out_.close();
    if (rc != STATUS_OK) agent_error_set(err_, rc, "cannot write %s to disk", p_.output);
    return rc;
  }

  const RestoreParams& p_;
  RestoreResult* res_;
  AgentError* err_;
  Client client_;
  bool open_ = false;
  ChainData chain_;
  BlockSlot* slots_ = nullptr;
  uint8_t* zeros_ = nullptr;
  UniqueFd out_;
  bool block_device_ = false;
  Progress progress_;
  uint64_t done_ = 0;
  char report_[AGENT_ERROR_TEXT_SIZE / 2] = {};
  uint64_t reported_ = 0;
};

}  // namespace

int32_t agent_restore(const RestoreParams& params, RestoreResult* result, AgentError* err) {
  *err = AgentError{};
  if (params.output == nullptr || params.output[0] == '\0') {
    agent_error_set(err, STATUS_INVALID, "no output path");
    return STATUS_INVALID;
  }
  RestoreRun run(params, result, err);
  return run.run();
}

}  // namespace orv
