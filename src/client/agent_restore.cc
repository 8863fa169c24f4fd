#include "client/agent_restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "client/agent_chain.h"
#include "client/progress.h"
#include "core/aligned_buffer.h"
#include "core/file_io.h"
#include "core/status.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "integrity/sha256.h"

namespace orv {

namespace {

// Zero bytes written per call when a block device needs zeros.
constexpr size_t kZeroChunk = 1u << 20;

class RestoreRun {
 public:
  RestoreRun(const RestoreParams& params, RestoreResult* result, AgentError* err)
      : p_(params), res_(result), err_(err) {}
  RestoreRun(const RestoreRun&) = delete;
  RestoreRun& operator=(const RestoreRun&) = delete;
  ~RestoreRun() {
    if (open_) client_close(&client_);
    free(slots_);
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
    return agent_choose_backup(&client_, p_.target, p_.by_name, p_.name, p_.uuid, &res_->uuid, err_);
  }

  int32_t fetch_chain() {
    int32_t rc = agent_fetch_chain(&client_, p_.target, res_->uuid, &chain_, err_);
    if (rc != STATUS_OK) return rc;
    const ChainLink& last = chain_.links[chain_.link_count - 1];
    res_->type = last.type;
    copy_text(res_->name, sizeof res_->name, last.name);
    res_->chain_length = static_cast<uint32_t>(chain_.link_count);
    res_->block_size = last.block_size;
    res_->source_size = last.source_size;
    return STATUS_OK;
  }

  uint32_t block_length(uint64_t index) const {
    uint64_t left = res_->source_size - index * res_->block_size;
    return left < res_->block_size ? static_cast<uint32_t>(left) : res_->block_size;
  }

  WireEntry entry_of(uint64_t block) const { return chain_entry(chain_, slots_[block]); }

  int32_t map_blocks() {
    res_->blocks = chain_block_count(chain_);
    return chain_map_blocks(chain_, res_->blocks, &slots_, err_);
  }

  // Opens the output: a regular file is created or emptied; a block device
  // must hold the whole source (checked before anything is written); a
  // character device (/dev/null for a restore that only verifies) is
  // written as it is. Files and block devices get a second descriptor for
  // direct I/O when the file system allows it.
  int32_t open_output() {
    struct stat st;
    bool exists = stat(p_.output, &st) == 0;
    block_device_ = exists && S_ISBLK(st.st_mode);
    char_device_ = exists && S_ISCHR(st.st_mode);
    bool device = block_device_ || char_device_;
    int flags = O_WRONLY | O_CLOEXEC | (device ? 0 : O_CREAT | O_TRUNC);
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
    if (!char_device_) {
      // Restored data is not read back soon: past the page cache it neither
      // evicts what the machine needs nor pays for new cache pages.
      int direct = -1;
      if (file_open_write_direct(p_.output, &direct) == STATUS_OK) out_direct_.reset(direct);
    }
    return STATUS_OK;
  }

  // Writes one piece of the output: the aligned part of an aligned piece
  // with direct I/O, the rest (a short tail, or all of an unaligned piece)
  // through the page cache. Pieces never share a page that the other path
  // writes whole, so both views of the file stay consistent.
  int32_t write_out(const uint8_t* data, size_t len, uint64_t offset) {
    int32_t rc = STATUS_OK;
    size_t written = 0;
    if (out_direct_.valid() && is_direct_aligned(offset) && is_direct_aligned(data)) {
      size_t direct = static_cast<size_t>(align_down_direct(len));
      if (direct != 0) {
        rc = file_pwrite_all(out_direct_.get(), data, direct, offset, &written);
        if (rc == STATUS_OK && written != direct) rc = STATUS_IO;
        if (rc != STATUS_OK) return write_failed(rc);
        data += direct;
        len -= direct;
        offset += direct;
      }
    }
    if (len == 0) return STATUS_OK;
    rc = file_pwrite_all(out_.get(), data, len, offset, &written);
    if (rc == STATUS_OK && written != len) rc = STATUS_IO;
    if (rc != STATUS_OK) return write_failed(rc);
    return STATUS_OK;
  }

  int32_t write_failed(int32_t rc) {
    agent_error_set(err_, rc, "cannot write to %s", p_.output);
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
    const ChainLink& l = chain_.links[slots_[block].link];
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
      if (!zeros_) {
        if (!zeros_.allocate(res_->block_size > kZeroChunk ? res_->block_size : kZeroChunk)) {
          agent_error_set(err_, STATUS_NOMEM, "out of memory");
          return STATUS_NOMEM;
        }
        memset(zeros_.get(), 0, zeros_.size());
      }
      if (digest_len != len) {
        sha256(zeros_.get(), len, zero_digest);
        digest_len = len;
      }
      if (memcmp(zero_digest, e.agent_tail, SHA256_DIGEST_SIZE) != 0) {
        ++res_->mismatches;
        damaged(i, "is stored as zeros but its checksum says otherwise");
        continue;
      }
      // A new regular file reads as zeros where nothing was written.
      if (block_device_ || char_device_) {
        int32_t rc = write_out(zeros_.get(), len, i * static_cast<uint64_t>(res_->block_size));
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
    if (!block_device_ && !char_device_) {
      int32_t rc = file_truncate(out_.get(), res_->source_size);
      if (rc != STATUS_OK) {
        agent_error_set(err_, rc, "cannot set the size of %s", p_.output);
        return rc;
      }
    }
    int32_t rc = file_sync(out_.get());
    // A character device such as /dev/null has nothing to flush and says so.
    if (rc == STATUS_INVALID && char_device_) rc = STATUS_OK;
    int32_t direct_rc = out_direct_.close();
    if (rc == STATUS_OK) rc = out_.close();
    if (rc == STATUS_OK) rc = direct_rc;
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
  AlignedBuffer zeros_;
  UniqueFd out_;
  UniqueFd out_direct_;  // the same output for direct I/O; empty when refused
  bool block_device_ = false;
  bool char_device_ = false;
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
