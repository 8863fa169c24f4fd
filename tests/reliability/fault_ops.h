// A FileOps table that forwards to another one (the kernel's or a SimFs)
// and makes one chosen call fail.
//
// Calls are counted from arm(); call number `at` gets the fault:
//   kEio     the call fails with EIO (close and closedir release first,
//            as Linux does);
//   kEintr   the call fails with EINTR without doing anything (close and
//            closedir release first);
//   kShort   a pread or pwrite moves only half of what was asked (other
//            calls are left alone);
//   kEnospc  from call `at` on, every call that needs space fails with
//            ENOSPC: writes, creation of a new file, mkdir. The disk stays
//            full until disarm().
// A failed fsync on a SimFs is reported to it, so that the pages it
// covered are lost as they would be on a real disk.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/file_io.h"
#include "reliability/sim_fs.h"

namespace orv::rel {

enum class Fault { kEio, kEnospc, kShort, kEintr };

inline const char* fault_name(Fault f) {
  switch (f) {
    case Fault::kEio: return "EIO";
    case Fault::kEnospc: return "ENOSPC";
    case Fault::kShort: return "short";
    case Fault::kEintr: return "EINTR";
  }
  return "?";
}

class FaultOps {
 public:
  // base: the table calls go to. sim: the SimFs behind base, or null.
  FaultOps(const FileOps* base, sim::SimFs* sim) : base_(base), sim_(sim) {}

  void arm(uint64_t at, Fault kind) {
    std::lock_guard<std::mutex> lock(mu_);
    armed_ = true;
    at_ = at;
    kind_ = kind;
    calls_ = 0;
    injected_.clear();
  }
  void disarm() {
    std::lock_guard<std::mutex> lock(mu_);
    armed_ = false;
  }

  uint64_t calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  // What was made to fail ("" when nothing was).
  std::string injected() {
    std::lock_guard<std::mutex> lock(mu_);
    return injected_;
  }

  // The table to install; it dispatches to the FaultOps made current by
  // FaultInstall.
  static const FileOps& table();

 private:
  friend struct FaultCalls;
  enum class Kind { kOpen, kClose, kPread, kPwrite, kFsync, kFtruncate, kFstat, kStat, kRename, kRemove, kMkdir,
                    kOpendir, kReaddir, kClosedir, kLock };
  enum class Act { kPass, kFail, kShort };

  // Counts one call and decides what happens to it; *err is the errno of a
  // failure.
  // Serialised: the store's image writer thread makes calls too.
  Act decide(Kind k, bool needs_space, const std::string& what, int* err) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!armed_) return Act::kPass;
    calls_ += 1;
    if (kind_ == Fault::kEnospc) {
      if (calls_ < at_ || !needs_space) return Act::kPass;
      if (injected_.empty()) injected_ = "ENOSPC from call " + std::to_string(calls_) + " (" + what + ")";
      *err = ENOSPC;
      return Act::kFail;
    }
    if (calls_ != at_) return Act::kPass;
    if (kind_ == Fault::kShort) {
      if (k != Kind::kPread && k != Kind::kPwrite) return Act::kPass;
      injected_ = "short " + what;
      return Act::kShort;
    }
    *err = kind_ == Fault::kEio ? EIO : EINTR;
    injected_ = std::string(fault_name(kind_)) + " on " + what;
    return Act::kFail;
  }

  const FileOps* base_;
  sim::SimFs* sim_;
  std::mutex mu_;  // guards the fields below
  bool armed_ = false;
  uint64_t at_ = 0;
  Fault kind_ = Fault::kEio;
  uint64_t calls_ = 0;
  std::string injected_;
};

inline FaultOps*& current_faults() {
  static FaultOps* f = nullptr;
  return f;
}

// The trampolines of the table.
struct FaultCalls {
  using K = FaultOps::Kind;
  using A = FaultOps::Act;

  static int fail(int e) {
    errno = e;
    return -1;
  }

  static int open(const char* path, int flags, mode_t mode) {
    FaultOps* f = current_faults();
    struct stat st;
    bool creates = (flags & O_CREAT) != 0 && f->base_->stat_fn(path, &st) != 0;
    int e = 0;
    if (f->decide(K::kOpen, creates, std::string("open ") + path, &e) == A::kFail) return fail(e);
    return f->base_->open_fn(path, flags, mode);
  }
  static int close(int fd) {
    FaultOps* f = current_faults();
    int e = 0;
    A a = f->decide(K::kClose, false, "close " + std::to_string(fd), &e);
    int r = f->base_->close_fn(fd);
    return a == A::kFail ? fail(e) : r;
  }
  static ssize_t pread(int fd, void* buf, size_t len, off_t off) {
    FaultOps* f = current_faults();
    int e = 0;
    A a = f->decide(K::kPread, false, "pread fd " + std::to_string(fd), &e);
    if (a == A::kFail) return fail(e);
    if (a == A::kShort && len > 1) len /= 2;
    return f->base_->pread_fn(fd, buf, len, off);
  }
  static ssize_t pwrite(int fd, const void* buf, size_t len, off_t off) {
    FaultOps* f = current_faults();
    int e = 0;
    A a = f->decide(K::kPwrite, len > 0, "pwrite fd " + std::to_string(fd), &e);
    if (a == A::kFail) return fail(e);
    if (a == A::kShort && len > 1) len /= 2;
    return f->base_->pwrite_fn(fd, buf, len, off);
  }
  static int fsync(int fd) {
    FaultOps* f = current_faults();
    int e = 0;
    if (f->decide(K::kFsync, false, "fsync fd " + std::to_string(fd), &e) == A::kFail) {
      if (f->sim_ != nullptr) {
        std::lock_guard<std::recursive_mutex> lock(sim::sim_mutex());
        f->sim_->fsync_failed(fd);
      }
      return fail(e);
    }
    return f->base_->fsync_fn(fd);
  }
  static int ftruncate(int fd, off_t len) {
    FaultOps* f = current_faults();
    int e = 0;
    if (f->decide(K::kFtruncate, false, "ftruncate fd " + std::to_string(fd), &e) == A::kFail) return fail(e);
    return f->base_->ftruncate_fn(fd, len);
  }
  static int fstat(int fd, struct stat* st) {
    FaultOps* f = current_faults();
    int e = 0;
    if (f->decide(K::kFstat, false, "fstat fd " + std::to_string(fd), &e) == A::kFail) return fail(e);
    return f->base_->fstat_fn(fd, st);
  }
  static int blkgetsize(int fd, uint64_t* size) { return current_faults()->base_->blkgetsize_fn(fd, size); }
  static int stat(const char* path, struct stat* st) {
    FaultOps* f = current_faults();
    int e = 0;
    if (f->decide(K::kStat, false, std::string("stat ") + path, &e) == A::kFail) return fail(e);
    return f->base_->stat_fn(path, st);
  }
  static int rename(const char* from, const char* to) {
    FaultOps* f = current_faults();
    int e = 0;
    if (f->decide(K::kRename, false, std::string("rename ") + from, &e) == A::kFail) return fail(e);
    return f->base_->rename_fn(from, to);
  }
  static int remove(const char* path) {
    FaultOps* f = current_faults();
    int e = 0;
    if (f->decide(K::kRemove, false, std::string("remove ") + path, &e) == A::kFail) return fail(e);
    return f->base_->remove_fn(path);
  }
  static int mkdir(const char* path, mode_t mode) {
    FaultOps* f = current_faults();
    int e = 0;
    if (f->decide(K::kMkdir, true, std::string("mkdir ") + path, &e) == A::kFail) return fail(e);
    return f->base_->mkdir_fn(path, mode);
  }
  static void* opendir(const char* path) {
    FaultOps* f = current_faults();
    int e = 0;
    if (f->decide(K::kOpendir, false, std::string("opendir ") + path, &e) == A::kFail) {
      errno = e;
      return nullptr;
    }
    return f->base_->opendir_fn(path);
  }
  static const char* readdir(void* dir) {
    FaultOps* f = current_faults();
    int e = 0;
    if (f->decide(K::kReaddir, false, "readdir", &e) == A::kFail) {
      errno = e;
      return nullptr;
    }
    return f->base_->readdir_fn(dir);
  }
  static int closedir(void* dir) {
    FaultOps* f = current_faults();
    int e = 0;
    A a = f->decide(K::kClosedir, false, "closedir", &e);
    int r = f->base_->closedir_fn(dir);
    return a == A::kFail ? fail(e) : r;
  }
  static int ofd_lock(int fd) {
    FaultOps* f = current_faults();
    int e = 0;
    if (f->decide(K::kLock, false, "lock fd " + std::to_string(fd), &e) == A::kFail) return fail(e);
    return f->base_->ofd_lock_fn(fd);
  }
};

inline const FileOps& FaultOps::table() {
  static const FileOps ops = {
      FaultCalls::open,   FaultCalls::close,  FaultCalls::pread,     FaultCalls::pwrite, FaultCalls::fsync,
      FaultCalls::ftruncate, FaultCalls::fstat, FaultCalls::blkgetsize, FaultCalls::stat,  FaultCalls::rename,
      FaultCalls::remove, FaultCalls::mkdir,  FaultCalls::opendir,   FaultCalls::readdir, FaultCalls::closedir,
      FaultCalls::ofd_lock,
  };
  return ops;
}

// Installs f under the primitives for its lifetime.
class FaultInstall {
 public:
  explicit FaultInstall(FaultOps* f) : prev_(current_faults()) {
    current_faults() = f;
    prev_ops_ = file_io_set_ops(&FaultOps::table());
  }
  ~FaultInstall() {
    (void)file_io_set_ops(prev_ops_);
    current_faults() = prev_;
  }
  FaultInstall(const FaultInstall&) = delete;
  FaultInstall& operator=(const FaultInstall&) = delete;

 private:
  FaultOps* prev_;
  const FileOps* prev_ops_;
};

}  // namespace orv::rel
