// An in-memory file system for crash tests, installed under the store's
// file primitives (file_io_set_ops).
//
// It keeps two states of everything: what reads see now, and what is
// certainly on the disk. A file's data becomes durable with an fsync of the
// file; a directory's entries (creations, renames, deletions) only with an
// fsync of the directory itself. Every change since the last sync is kept in
// order, so that a power loss can be simulated afterwards in the ways a real
// disk may behave: unsynced data dropped whole, kept up to a 4 KiB boundary,
// kept page by page at random, or kept with its last write torn; unsynced
// directory changes dropped, kept, or kept up to some point in their order.
// A file no durable directory entry leads to is gone after the power loss.
//
// A failed fsync (see FaultOps) is modelled as the kernel does it: the
// pages it covered are marked clean without reaching the disk, so a later
// successful fsync does not make them durable.
//
// Descriptors are real (each is a descriptor of /dev/null), so code that
// closes them with close() directly frees them without confusing the table:
// a number the kernel hands out again simply replaces the stale entry.
//
// Only what the store needs is modelled: absolute paths, one level of
// renames within a directory, no links, no permissions. Calls through the
// installed table (sim_ops) are serialised by one mutex, so that the store's
// image writer thread and the session's thread may both use it; the
// operation counter can be read at any time.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "core/file_io.h"

namespace orv::sim {

// File contents, shared between states until one of them changes (copy on
// write), so that keeping a snapshot or making a crash image copies nothing
// that did not change.
using Bytes = std::shared_ptr<std::vector<uint8_t>>;

inline Bytes make_bytes(std::vector<uint8_t> v = {}) { return std::make_shared<std::vector<uint8_t>>(std::move(v)); }

// The contents of b for changing them; copied first when shared.
inline std::vector<uint8_t>& own(Bytes& b) {
  if (b.use_count() > 1) b = make_bytes(*b);
  return *b;
}

// One unsynced change of a file's data, with what it replaced, so that it
// can be undone in part (a torn write).
struct PendingWrite {
  bool truncate = false;
  uint64_t off = 0;              // write: offset; truncate: new length
  uint64_t len = 0;              // write: length
  uint64_t old_size = 0;         // file length before the change
  std::vector<uint8_t> old;      // write: bytes it overwrote within old_size
};

// One unsynced change of a directory's entries.
struct DirOp {
  enum Kind { kLink, kUnlink, kRename } kind;
  std::string name;  // link, unlink: the name; rename: from
  std::string to;    // rename: to
  uint64_t ino = 0;  // link, rename: the node
};

struct Node {
  bool is_dir = false;
  int64_t mtime = 0;
  // Files.
  Bytes data = make_bytes();          // what reads see
  Bytes durable = make_bytes();       // what a power loss keeps for sure
  std::vector<PendingWrite> pending;   // changes since the last fsync, in order
  // Ranges a failed fsync marked clean without writing, and the durable
  // content at that moment (they never reach the disk from the cache).
  std::vector<std::pair<uint64_t, uint64_t>> lost;
  Bytes lost_base;
  // Directories.
  std::map<std::string, uint64_t> entries;
  std::map<std::string, uint64_t> durable_entries;
  std::vector<DirOp> dir_pending;
};

// The whole file system; copyable, so a moment can be kept as a snapshot.
struct State {
  std::map<uint64_t, Node> nodes;
  uint64_t next_ino = 2;
};

inline constexpr uint64_t kRootIno = 1;
inline constexpr uint64_t kPage = 4096;

// How unsynced file data behaves at a power loss.
enum class DataLoss { kDrop, kKeep, kCut4k, kPages, kTornLast, kRandom };
// How unsynced directory changes behave.
enum class DirLoss { kDrop, kKeep, kPrefix, kRandom };

struct CrashPlan {
  DataLoss data = DataLoss::kDrop;
  DirLoss dirs = DirLoss::kDrop;
  uint64_t seed = 0;
};

class SimFs {
 public:
  SimFs() { reset(); }
  ~SimFs() { close_all(); }
  SimFs(const SimFs&) = delete;
  SimFs& operator=(const SimFs&) = delete;

  // An empty file system with a durable root directory.
  void reset() {
    close_all();
    state_ = State{};
    Node root;
    root.is_dir = true;
    state_.nodes[kRootIno] = root;
    ops_ = 0;
    snapshot_at_ = UINT64_MAX;
    snapshot_.reset();
    log_.clear();
  }

  // Creates a directory path (all levels) as durable, for fixture roots.
  void make_durable_dirs(const std::string& path) {
    uint64_t cur = kRootIno;
    for (const std::string& part : split(path)) {
      Node& dir = state_.nodes[cur];
      auto it = dir.entries.find(part);
      if (it == dir.entries.end()) {
        uint64_t ino = new_node(true);
        state_.nodes[cur].entries[part] = ino;
        state_.nodes[cur].durable_entries[part] = ino;
        cur = ino;
      } else {
        cur = it->second;
      }
    }
  }

  // Mutating operations so far (creations, writes, truncations, fsyncs,
  // renames, deletions, mkdirs, directory fsyncs); a power loss "after k"
  // keeps what the first k made durable.
  uint64_t ops() const { return ops_; }
  // Continues counting from n (for a state loaded from another SimFs).
  void set_ops(uint64_t n) { ops_ = n; }
  const std::vector<std::string>& log() const { return log_; }

  // Keeps a copy of the state as it stands right after operation k (k = 0:
  // now).
  void snapshot_after(uint64_t k) {
    snapshot_at_ = k;
    snapshot_.reset();
    if (k == ops_) snapshot_ = std::make_unique<State>(state_);
  }
  const State* snapshot() const { return snapshot_.get(); }
  const State& state() const { return state_; }

  // Seconds added to the real clock for modification times.
  void set_clock_offset(int64_t seconds) { clock_offset_ = seconds; }

  // Replaces the state (open descriptors are dropped).
  void load(State s) {
    close_all();
    state_ = std::move(s);
  }

  // What survives a power loss of s, as a state in which everything is
  // durable and nothing is open.
  static State crash_image(const State& s, const CrashPlan& plan) {
    std::mt19937_64 rng(plan.seed * 0x9E3779B97F4A7C15ull + 17);
    State out;
    out.next_ino = s.next_ino;
    // Directories first, from the root, so only reachable nodes survive.
    std::vector<uint64_t> todo{kRootIno};
    while (!todo.empty()) {
      uint64_t ino = todo.back();
      todo.pop_back();
      if (out.nodes.count(ino) != 0) continue;
      const Node& n = s.nodes.at(ino);
      Node kept;
      kept.is_dir = n.is_dir;
      kept.mtime = n.mtime;
      if (n.is_dir) {
        kept.entries = surviving_entries(n, plan.dirs, rng);
        kept.durable_entries = kept.entries;
        for (const auto& [name, child] : kept.entries) todo.push_back(child);
      } else {
        kept.data = surviving_data(n, plan.data, rng);
        kept.durable = kept.data;  // shared: both change only by copy
      }
      out.nodes[ino] = std::move(kept);
    }
    return out;
  }

  // --- reading for checks (no operation counted) ---

  bool exists(const std::string& path) const { return lookup(path) != 0; }

  std::vector<uint8_t> contents(const std::string& path) const {
    uint64_t ino = lookup(path);
    if (ino == 0) return {};
    return *state_.nodes.at(ino).data;
  }

  std::vector<std::string> list(const std::string& dir) const {
    std::vector<std::string> out;
    uint64_t ino = lookup(dir);
    if (ino == 0 || !state_.nodes.at(ino).is_dir) return out;
    for (const auto& [name, child] : state_.nodes.at(ino).entries) out.push_back(name);
    return out;
  }

  size_t open_count() const { return fds_.size(); }

  // --- the operations, with system-call conventions ---

  int open(const char* path, int flags, mode_t) {
    uint64_t parent = 0;
    std::string leaf;
    if (!resolve_parent(path, &parent, &leaf)) return fail(ENOENT);
    Node& dir = state_.nodes[parent];
    int acc = flags & O_ACCMODE;
    uint64_t ino = 0;
    if (leaf.empty()) {
      ino = parent;  // the root itself
    } else {
      auto it = dir.entries.find(leaf);
      if (it != dir.entries.end()) ino = it->second;
    }
    if (ino != 0) {
      if ((flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) return fail(EEXIST);
      Node& n = state_.nodes[ino];
      if (n.is_dir && acc != O_RDONLY) return fail(EISDIR);
      if (!n.is_dir && (flags & O_DIRECTORY) != 0) return fail(ENOTDIR);
      if (!n.is_dir && (flags & O_TRUNC) != 0 && acc != O_RDONLY) {
        truncate_node(n, 0);
        count("truncate-open " + std::string(path));
      }
    } else {
      if ((flags & O_CREAT) == 0) return fail(ENOENT);
      ino = new_node(false);
      Node& d = state_.nodes[parent];
      d.entries[leaf] = ino;
      d.dir_pending.push_back(DirOp{DirOp::kLink, leaf, "", ino});
      d.mtime = now();
      count("create " + std::string(path));
    }
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    fds_[fd] = Open{ino, acc};
    return fd;
  }

  int close(int fd) {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return fail(EBADF);
    drop_locks_of(fd);
    fds_.erase(it);
    return ::close(fd);
  }

  ssize_t pread(int fd, void* buf, size_t len, off_t offset) {
    Node* n = file_of(fd, false);
    if (n == nullptr) return -1;
    if (offset < 0) return fail(EINVAL);
    uint64_t off = static_cast<uint64_t>(offset);
    const std::vector<uint8_t>& data = *n->data;
    if (off >= data.size()) return 0;
    size_t got = static_cast<size_t>(std::min<uint64_t>(len, data.size() - off));
    memcpy(buf, data.data() + off, got);
    return static_cast<ssize_t>(got);
  }

  ssize_t pwrite(int fd, const void* buf, size_t len, off_t offset) {
    Node* n = file_of(fd, true);
    if (n == nullptr) return -1;
    if (offset < 0) return fail(EINVAL);
    if (len == 0) return 0;
    uint64_t off = static_cast<uint64_t>(offset);
    PendingWrite w;
    w.off = off;
    w.len = len;
    std::vector<uint8_t>& data = own(n->data);
    w.old_size = data.size();
    if (off < w.old_size) {
      uint64_t end = std::min<uint64_t>(off + len, w.old_size);
      w.old.assign(data.begin() + static_cast<ptrdiff_t>(off), data.begin() + static_cast<ptrdiff_t>(end));
    }
    if (data.size() < off + len) data.resize(off + len, 0);
    memcpy(data.data() + off, buf, len);
    n->pending.push_back(std::move(w));
    n->mtime = now();
    count("pwrite fd " + std::to_string(fd) + " @" + std::to_string(off) + " +" + std::to_string(len));
    return static_cast<ssize_t>(len);
  }

  int fsync(int fd) {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return fail(EBADF);
    Node& n = state_.nodes[it->second.ino];
    if (n.is_dir) {
      n.durable_entries = n.entries;
      n.dir_pending.clear();
      count("fsync dir");
    } else {
      if (n.lost.empty()) {
        n.durable = n.data;
      } else {
        n.durable = make_bytes(reachable_data(n));
      }
      n.pending.clear();
      count("fsync fd " + std::to_string(fd));
    }
    return 0;
  }

  // An fsync that failed: the pages it covered are clean but not on disk.
  void fsync_failed(int fd) {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return;
    Node& n = state_.nodes[it->second.ino];
    if (n.is_dir) return;
    if (n.lost.empty()) n.lost_base = n.durable;  // shared; never changed in place
    for (const PendingWrite& w : n.pending) {
      if (!w.truncate) n.lost.emplace_back(w.off, w.len);
    }
    n.pending.clear();
  }

  int ftruncate(int fd, off_t length) {
    Node* n = file_of(fd, true);
    if (n == nullptr) return -1;
    if (length < 0) return fail(EINVAL);
    truncate_node(*n, static_cast<uint64_t>(length));
    count("ftruncate fd " + std::to_string(fd) + " " + std::to_string(length));
    return 0;
  }

  int fstat(int fd, struct stat* st) {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return fail(EBADF);
    fill_stat(state_.nodes[it->second.ino], it->second.ino, st);
    return 0;
  }

  // An exclusive lock of the open file description behind fd (each open
  // here is a description of its own). Locks live only in memory: they
  // end with the descriptor, and a power loss or a reload drops them all,
  // as the death of the process that held them does.
  int ofd_lock(int fd) {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return fail(EBADF);
    if (it->second.acc == O_RDONLY) return fail(EBADF);
    auto held = locks_.find(it->second.ino);
    if (held != locks_.end() && held->second != fd) return fail(EAGAIN);
    locks_[it->second.ino] = fd;
    return 0;
  }

  // Whether a lock is held on the file at path.
  bool locked(const std::string& path) const {
    uint64_t ino = lookup(path);
    return ino != 0 && locks_.count(ino) != 0;
  }

  int stat(const char* path, struct stat* st) {
    uint64_t ino = lookup(path);
    if (ino == 0) return fail(ENOENT);
    fill_stat(state_.nodes[ino], ino, st);
    return 0;
  }

  int rename(const char* from, const char* to) {
    uint64_t pf = 0, pt = 0;
    std::string lf, lt;
    if (!resolve_parent(from, &pf, &lf) || !resolve_parent(to, &pt, &lt) || lf.empty() || lt.empty()) {
      return fail(ENOENT);
    }
    if (pf != pt) return fail(EXDEV);
    Node& d = state_.nodes[pf];
    auto it = d.entries.find(lf);
    if (it == d.entries.end()) return fail(ENOENT);
    if (lf == lt) return 0;
    uint64_t ino = it->second;
    d.entries.erase(it);
    d.entries[lt] = ino;
    d.dir_pending.push_back(DirOp{DirOp::kRename, lf, lt, ino});
    d.mtime = now();
    count("rename " + std::string(from) + " -> " + std::string(to));
    return 0;
  }

  int remove(const char* path) {
    uint64_t parent = 0;
    std::string leaf;
    if (!resolve_parent(path, &parent, &leaf) || leaf.empty()) return fail(ENOENT);
    Node& d = state_.nodes[parent];
    auto it = d.entries.find(leaf);
    if (it == d.entries.end()) return fail(ENOENT);
    const Node& n = state_.nodes[it->second];
    if (n.is_dir && !n.entries.empty()) return fail(ENOTEMPTY);
    d.entries.erase(it);
    d.dir_pending.push_back(DirOp{DirOp::kUnlink, leaf, "", 0});
    d.mtime = now();
    count("remove " + std::string(path));
    return 0;
  }

  int mkdir(const char* path, mode_t) {
    uint64_t parent = 0;
    std::string leaf;
    if (!resolve_parent(path, &parent, &leaf)) return fail(ENOENT);
    if (leaf.empty() || state_.nodes[parent].entries.count(leaf) != 0) return fail(EEXIST);
    uint64_t ino = new_node(true);
    Node& d = state_.nodes[parent];
    d.entries[leaf] = ino;
    d.dir_pending.push_back(DirOp{DirOp::kLink, leaf, "", ino});
    d.mtime = now();
    count("mkdir " + std::string(path));
    return 0;
  }

  // A listing is a copy of the names at opendir time, "." and ".." first.
  struct Listing {
    std::vector<std::string> names;
    size_t pos = 0;
  };

  void* opendir(const char* path) {
    uint64_t ino = lookup(path);
    if (ino == 0) {
      errno = ENOENT;
      return nullptr;
    }
    const Node& n = state_.nodes[ino];
    if (!n.is_dir) {
      errno = ENOTDIR;
      return nullptr;
    }
    auto* l = new Listing;
    l->names = {".", ".."};
    for (const auto& [name, child] : n.entries) l->names.push_back(name);
    return l;
  }

  const char* readdir(void* dir) {
    auto* l = static_cast<Listing*>(dir);
    if (l->pos >= l->names.size()) return nullptr;
    return l->names[l->pos++].c_str();
  }

  int closedir(void* dir) {
    delete static_cast<Listing*>(dir);
    return 0;
  }

 private:
  struct Open {
    uint64_t ino;
    int acc;
  };

  static int fail(int e) {
    errno = e;
    return -1;
  }

  int64_t now() const { return static_cast<int64_t>(time(nullptr)) + clock_offset_; }

  void count(std::string what) {
    ops_ += 1;
    log_.push_back(std::move(what));
    if (ops_ == snapshot_at_) snapshot_ = std::make_unique<State>(state_);
  }

  uint64_t new_node(bool is_dir) {
    uint64_t ino = state_.next_ino++;
    Node n;
    n.is_dir = is_dir;
    n.mtime = now();
    state_.nodes[ino] = std::move(n);
    return ino;
  }

  void close_all() {
    for (const auto& [fd, o] : fds_) (void)::close(fd);
    fds_.clear();
    locks_.clear();
  }

  void drop_locks_of(int fd) {
    for (auto it = locks_.begin(); it != locks_.end();) {
      it = it->second == fd ? locks_.erase(it) : std::next(it);
    }
  }

  Node* file_of(int fd, bool writing) {
    auto it = fds_.find(fd);
    if (it == fds_.end()) {
      errno = EBADF;
      return nullptr;
    }
    if (writing && it->second.acc == O_RDONLY) {
      errno = EBADF;
      return nullptr;
    }
    Node* n = &state_.nodes[it->second.ino];
    if (n->is_dir) {
      errno = EISDIR;
      return nullptr;
    }
    return n;
  }

  void truncate_node(Node& n, uint64_t length) {
    PendingWrite w;
    w.truncate = true;
    w.off = length;
    std::vector<uint8_t>& data = own(n.data);
    w.old_size = data.size();
    data.resize(length, 0);
    n.pending.push_back(std::move(w));
    n.mtime = now();
  }

  static void fill_stat(const Node& n, uint64_t ino, struct stat* st) {
    memset(st, 0, sizeof *st);
    st->st_ino = static_cast<ino_t>(ino);
    st->st_mode = n.is_dir ? (S_IFDIR | 0777) : (S_IFREG | 0640);
    st->st_size = n.is_dir ? 4096 : static_cast<off_t>(n.data->size());
    st->st_mtime = static_cast<time_t>(n.mtime);
    st->st_nlink = 1;
  }

  static std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
      size_t j = path.find('/', i);
      if (j == std::string::npos) j = path.size();
      std::string part = path.substr(i, j - i);
      if (!part.empty() && part != ".") parts.push_back(part);
      i = j + 1;
    }
    return parts;
  }

  // The node of an absolute path, or 0.
  uint64_t lookup(const std::string& path) const {
    if (path.empty() || path[0] != '/') return 0;
    uint64_t cur = kRootIno;
    for (const std::string& part : split(path)) {
      const Node& n = state_.nodes.at(cur);
      if (!n.is_dir) return 0;
      auto it = n.entries.find(part);
      if (it == n.entries.end()) return 0;
      cur = it->second;
    }
    return cur;
  }

  // The directory holding the last component, and that component ("" for
  // the root itself). False when a directory on the way is missing.
  bool resolve_parent(const std::string& path, uint64_t* parent, std::string* leaf) const {
    if (path.empty() || path[0] != '/') return false;
    std::vector<std::string> parts = split(path);
    if (parts.empty()) {
      *parent = kRootIno;
      leaf->clear();
      return true;
    }
    std::string dir = "/";
    for (size_t i = 0; i + 1 < parts.size(); ++i) dir += parts[i] + "/";
    uint64_t ino = lookup(dir);
    if (ino == 0 || !state_.nodes.at(ino).is_dir) return false;
    *parent = ino;
    *leaf = parts.back();
    return true;
  }

  // The content the disk can ever get from the cache: the data, except
  // ranges a failed fsync dropped.
  static std::vector<uint8_t> reachable_data(const Node& n) {
    std::vector<uint8_t> v = *n.data;
    if (n.lost.empty()) return v;
    const std::vector<uint8_t>& base = *n.lost_base;
    for (const auto& [off, len] : n.lost) {
      for (uint64_t i = off; i < off + len && i < v.size(); ++i) v[i] = i < base.size() ? base[i] : 0;
    }
    return v;
  }

  static std::map<std::string, uint64_t> surviving_entries(const Node& n, DirLoss mode, std::mt19937_64& rng) {
    if (mode == DirLoss::kRandom) mode = static_cast<DirLoss>(rng() % 3);
    size_t keep = 0;
    if (mode == DirLoss::kKeep) keep = n.dir_pending.size();
    if (mode == DirLoss::kPrefix) keep = n.dir_pending.empty() ? 0 : rng() % (n.dir_pending.size() + 1);
    std::map<std::string, uint64_t> e = n.durable_entries;
    for (size_t i = 0; i < keep; ++i) {
      const DirOp& op = n.dir_pending[i];
      if (op.kind == DirOp::kLink) e[op.name] = op.ino;
      if (op.kind == DirOp::kUnlink) e.erase(op.name);
      if (op.kind == DirOp::kRename) {
        e.erase(op.name);
        e[op.to] = op.ino;
      }
    }
    return e;
  }

  static Bytes surviving_data(const Node& n, DataLoss mode, std::mt19937_64& rng) {
    if (n.pending.empty()) return n.durable;
    if (mode == DataLoss::kRandom) mode = static_cast<DataLoss>(rng() % 5);
    if (mode == DataLoss::kDrop) return n.durable;
    if (mode == DataLoss::kKeep && n.lost.empty()) return n.data;
    const std::vector<uint8_t>& d = *n.durable;
    std::vector<uint8_t> v = reachable_data(n);
    switch (mode) {
      case DataLoss::kDrop:
      case DataLoss::kKeep:
        return make_bytes(std::move(v));
      case DataLoss::kCut4k: {
        uint64_t pages = (v.size() + kPage - 1) / kPage;
        uint64_t cut = (rng() % (pages + 1)) * kPage;
        if (cut >= v.size()) return make_bytes(std::move(v));
        std::vector<uint8_t> r(v.begin(), v.begin() + static_cast<ptrdiff_t>(cut));
        if (d.size() > cut) r.insert(r.end(), d.begin() + static_cast<ptrdiff_t>(cut), d.end());
        return make_bytes(std::move(r));
      }
      case DataLoss::kPages: {
        uint64_t size = (rng() % 2 == 0) ? v.size() : d.size();
        uint64_t keep_in_256 = rng() % 257;
        std::vector<uint8_t> r(size, 0);
        for (uint64_t p = 0; p < size; p += kPage) {
          const std::vector<uint8_t>& src = rng() % 256 < keep_in_256 ? v : d;
          uint64_t end = std::min<uint64_t>({p + kPage, size, std::max<uint64_t>(src.size(), p)});
          if (end > p) memcpy(r.data() + p, src.data() + p, end - p);
        }
        return make_bytes(std::move(r));
      }
      case DataLoss::kTornLast:
      case DataLoss::kRandom: {
        const PendingWrite& w = n.pending.back();
        if (w.truncate || w.len == 0) return make_bytes(std::move(v));
        uint64_t cut = rng() % w.len;  // bytes of the last write that made it
        for (uint64_t i = w.off + cut; i < w.off + w.len && i < w.old_size; ++i) v[i] = w.old[i - w.off];
        v.resize(std::max(w.old_size, w.off + cut));
        return make_bytes(std::move(v));
      }
    }
    return n.durable;
  }

  State state_;
  std::map<int, Open> fds_;
  std::map<uint64_t, int> locks_;  // inode -> descriptor holding its lock
  std::atomic<uint64_t> ops_{0};
  uint64_t snapshot_at_ = UINT64_MAX;
  std::unique_ptr<State> snapshot_;
  std::vector<std::string> log_;
  int64_t clock_offset_ = 0;
};

// The SimFs behind the primitives while a SimInstall lives.
inline SimFs*& current_sim() {
  static SimFs* sim = nullptr;
  return sim;
}

// Serialises the calls of the table below.
inline std::recursive_mutex& sim_mutex() {
  static std::recursive_mutex mu;
  return mu;
}

inline const FileOps& sim_ops() {
  using G = std::lock_guard<std::recursive_mutex>;
  static const FileOps ops = {
      [](const char* p, int f, mode_t m) { G g(sim_mutex()); return current_sim()->open(p, f, m); },
      [](int fd) { G g(sim_mutex()); return current_sim()->close(fd); },
      [](int fd, void* b, size_t n, off_t o) { G g(sim_mutex()); return current_sim()->pread(fd, b, n, o); },
      [](int fd, const void* b, size_t n, off_t o) { G g(sim_mutex()); return current_sim()->pwrite(fd, b, n, o); },
      [](int fd) { G g(sim_mutex()); return current_sim()->fsync(fd); },
      [](int fd, off_t n) { G g(sim_mutex()); return current_sim()->ftruncate(fd, n); },
      [](int fd, struct stat* st) { G g(sim_mutex()); return current_sim()->fstat(fd, st); },
      [](int, uint64_t*) {
        errno = ENOTTY;
        return -1;
      },
      [](const char* p, struct stat* st) { G g(sim_mutex()); return current_sim()->stat(p, st); },
      [](const char* a, const char* b) { G g(sim_mutex()); return current_sim()->rename(a, b); },
      [](const char* p) { G g(sim_mutex()); return current_sim()->remove(p); },
      [](const char* p, mode_t m) { G g(sim_mutex()); return current_sim()->mkdir(p, m); },
      [](const char* p) { G g(sim_mutex()); return current_sim()->opendir(p); },
      [](void* d) { G g(sim_mutex()); return current_sim()->readdir(d); },
      [](void* d) { G g(sim_mutex()); return current_sim()->closedir(d); },
      [](int fd) { G g(sim_mutex()); return current_sim()->ofd_lock(fd); },
  };
  return ops;
}

// Installs sim under the primitives for its lifetime (and restores the
// table that was there before).
class SimInstall {
 public:
  explicit SimInstall(SimFs* sim) : prev_sim_(current_sim()) {
    current_sim() = sim;
    prev_ops_ = file_io_set_ops(&sim_ops());
  }
  ~SimInstall() {
    (void)file_io_set_ops(prev_ops_);
    current_sim() = prev_sim_;
  }
  SimInstall(const SimInstall&) = delete;
  SimInstall& operator=(const SimInstall&) = delete;

 private:
  SimFs* prev_sim_;
  const FileOps* prev_ops_;
};

}  // namespace orv::sim
