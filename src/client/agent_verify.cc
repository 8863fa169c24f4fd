#include "client/agent_verify.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "client/agent_chain.h"
#include "client/progress.h"
#include "core/status.h"
#include "core/text.h"
#include "integrity/sha256.h"

namespace orv {

namespace {

class VerifyRun {
 public:
  VerifyRun(const VerifyParams& params, VerifyResult* result, AgentError* err) : p_(params), res_(result), err_(err) {}
  VerifyRun(const VerifyRun&) = delete;
  VerifyRun& operator=(const VerifyRun&) = delete;
  ~VerifyRun() {
    if (open_) client_close(&client_);
    free(slots_);
    delete[] zeros_;
  }

  int32_t run() {
    *res_ = VerifyResult{};
    HelloReply reply;
    int32_t rc = agent_connect(p_.target, 0, &client_, &reply, err_);
    if (rc != STATUS_OK) return rc;
    open_ = true;
    rc = agent_choose_backup(&client_, p_.target, p_.by_name, p_.name, p_.uuid, &res_->uuid, err_);
    if (rc == STATUS_OK) rc = agent_fetch_chain(&client_, p_.target, res_->uuid, &chain_, err_);
    if (rc != STATUS_OK) return rc;
    const ChainLink& last = chain_.links[chain_.link_count - 1];
    res_->type = last.type;
    copy_text(res_->name, sizeof res_->name, last.name);
    res_->chain_length = static_cast<uint32_t>(chain_.link_count);
    res_->block_size = last.block_size;
    res_->source_size = last.source_size;
    res_->blocks = chain_block_count(chain_);
    rc = chain_map_blocks(chain_, res_->blocks, &slots_, err_);
    if (rc != STATUS_OK) return rc;
    progress_start(&progress_, "verify", res_->source_size, p_.progress);
    rc = check_zero_blocks();
    if (rc == STATUS_OK) rc = check_data_blocks();
    progress_finish(&progress_, done_);
    if (rc != STATUS_OK) return rc;
    if (res_->mismatches != 0 || res_->missing != 0) {
      uint64_t n = res_->mismatches + res_->missing;
      char more[64] = "";
      if (n > reported_) snprintf(more, sizeof more, "; and %llu more", static_cast<unsigned long long>(n - reported_));
      agent_error_set(err_, STATUS_CORRUPT, "%llu of %llu blocks do not match what was backed up (%s%s)",
                      static_cast<unsigned long long>(n), static_cast<unsigned long long>(res_->blocks), report_,
                      more);
      return STATUS_CORRUPT;
    }
    return STATUS_OK;
  }

 private:
  uint32_t block_length(uint64_t index) const {
    uint64_t left = res_->source_size - index * res_->block_size;
    return left < res_->block_size ? static_cast<uint32_t>(left) : res_->block_size;
  }

  WireEntry entry_of(uint64_t block) const { return chain_entry(chain_, slots_[block]); }

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

  // The agent fields of a block's newest entry must describe this block.
  bool entry_usable(uint64_t block, const WireEntry& e) {
    uint32_t expected = block_length(block);
    if (e.agent_u8 != AGENT_ENTRY_SHA256 || e.agent_u32 != expected) {
      ++res_->mismatches;
      damaged(block, "has no checksum of this client");
      return false;
    }
    const ChainLink& l = chain_.links[slots_[block].link];
    bool no_data = (e.flags & ENTRY_FLAG_NO_DATA) != 0;
    if (!no_data && (e.length != expected || e.offset > l.image_size || l.image_size - e.offset < e.length)) {
      ++res_->mismatches;
      damaged(block, "has an entry that does not fit its image");
      return false;
    }
    return true;
  }

  int32_t check_zero_blocks() {
    uint8_t zero_digest[SHA256_DIGEST_SIZE];
    uint32_t digest_len = 0;
    for (uint64_t i = 0; i < res_->blocks; ++i) {
      if (!slots_[i].present) {
        ++res_->missing;
        damaged(i, "is missing from the chain");
        continue;
      }
      WireEntry e = entry_of(i);
      if ((e.flags & ENTRY_FLAG_NO_DATA) == 0 || !entry_usable(i, e)) continue;
      uint32_t len = block_length(i);
      if (zeros_ == nullptr) {
        zeros_ = new (std::nothrow) uint8_t[res_->block_size]();
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
      ++res_->blocks_zero;
      done_ += len;
      progress_update(&progress_, done_);
    }
    return STATUS_OK;
  }

  uint64_t next_data_block(uint64_t from) {
    for (; from < res_->blocks; ++from) {
      if (!slots_[from].present) continue;
      WireEntry e = entry_of(from);
      if ((e.flags & ENTRY_FLAG_NO_DATA) != 0 || !entry_usable(from, e)) continue;
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
    ++res_->blocks_read;
    res_->bytes_read += data.size();
    if (memcmp(digest, entry_of(block).agent_tail, SHA256_DIGEST_SIZE) != 0) {
      ++res_->mismatches;
      damaged(block, "does not match its checksum");
    }
    done_ += data.size();
    progress_update(&progress_, done_);
    return STATUS_OK;
  }

  // READ_RANGE for every block with data, `window` requests ahead of the
  // answers; the target answers in order.
  int32_t check_data_blocks() {
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

  const VerifyParams& p_;
  VerifyResult* res_;
  AgentError* err_;
  Client client_;
  bool open_ = false;
  ChainData chain_;
  BlockSlot* slots_ = nullptr;
  uint8_t* zeros_ = nullptr;
  Progress progress_;
  uint64_t done_ = 0;
  char report_[AGENT_ERROR_TEXT_SIZE / 2] = {};
  uint64_t reported_ = 0;
};

}  // namespace

int32_t agent_verify(const VerifyParams& params, VerifyResult* result, AgentError* err) {
  *err = AgentError{};
  VerifyRun run(params, result, err);
  return run.run();
}

}  // namespace orv
