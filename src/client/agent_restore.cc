#include "client/agent_restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "client/agent_chain.h"
#include "client/progress.h"
#include "core/aligned_buffer.h"
#include "core/file_io.h"
#include "core/status.h"
#include "core/text.h"
#include "core/unique_fd.h"

namespace orv {

namespace {

class RestoreRun {
 public:
  RestoreRun(const RestoreParams& params, RestoreResult* result, AgentError* err)
      : p_(params), res_(result), err_(err) {}
  RestoreRun(const RestoreRun&) = delete;
  RestoreRun& operator=(const RestoreRun&) = delete;
  ~RestoreRun() {
    if (open_) client_close(&client_);
  }

  int32_t run() {
    *res_ = RestoreResult{};
    HelloReply reply;
    int32_t rc = agent_connect(p_.target, 0, &client_, &reply, err_);
    if (rc != STATUS_OK) return rc;
    open_ = true;
    rc = reader_.load(p_.target, p_.by_name, p_.name, p_.uuid);
    if (rc == STATUS_OK) rc = open_output();
    progress_start(&progress_, "restore", res_->source_size, p_.progress);
    ChainBlockSink sink;
    sink.zero_block = write_zero_block;
    sink.data_block = write_data_block;
    sink.context = this;
    if (rc == STATUS_OK) rc = reader_.check_zero_blocks(sink, &progress_);
    if (rc == STATUS_OK) rc = reader_.read_data_blocks(p_.window, sink, &progress_);
    if (rc == STATUS_OK) rc = close_output();
    progress_finish(&progress_, reader_.done());
    if (rc != STATUS_OK) return rc;
    if (res_->mismatches != 0 || res_->missing != 0) {
      char list[ChainReader::kDamageListSize];
      reader_.damage_list(list, sizeof list);
      agent_error_set(err_, STATUS_CORRUPT,
                      "%llu of %llu blocks could not be restored intact (%s); %s is not a faithful copy",
                      static_cast<unsigned long long>(res_->mismatches + res_->missing),
                      static_cast<unsigned long long>(res_->blocks), list, p_.output);
      return STATUS_CORRUPT;
    }
    return STATUS_OK;
  }

 private:
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

  // Blocks without data: a new regular file reads as zeros where nothing
  // was written; devices get the zeros written.
  static int32_t write_zero_block(void* context, const uint8_t* zeros, size_t len, uint64_t offset) {
    auto* run = static_cast<RestoreRun*>(context);
    if (!run->block_device_ && !run->char_device_) return STATUS_OK;
    return run->write_out(zeros, len, offset);
  }

  // Written even when damaged: the output then shows what the target holds.
  static int32_t write_data_block(void* context, const uint8_t* data, size_t len, uint64_t offset) {
    return static_cast<RestoreRun*>(context)->write_out(data, len, offset);
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
  ChainReader reader_{&client_, res_, err_, p_.report_limit};
  UniqueFd out_;
  UniqueFd out_direct_;  // the same output for direct I/O; empty when refused
  bool block_device_ = false;
  bool char_device_ = false;
  Progress progress_;
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
