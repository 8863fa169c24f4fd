// Move-only owner of a file descriptor. The destructor closes as a backstop;
// where the result of close matters (files that must be durable) call
// close() explicitly and check it.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "core/status.h"

namespace orv {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }

  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership; the descriptor is the caller's to close.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }

  // Closes now and reports the result (STATUS_OK for an empty owner).
  [[nodiscard]] int32_t close() {
    int fd = std::exchange(fd_, -1);
    if (fd < 0) return STATUS_OK;
    if (::close(fd) != 0) return status_from_errno(errno);
    return STATUS_OK;
  }

  // Closes, ignoring the result (error paths), and optionally takes a new fd.
  void reset(int fd = -1) {
    if (fd_ >= 0) (void)::close(fd_);  // error path: the descriptor is dropped either way
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace orv
