// Syscall-order audit of the durability rules, without any crash: the real
// orv_target runs under strace while an agent makes backups over TLS (one
// interrupted, continued and finished; one left behind by an agent that
// cannot continue and removed by its next run; a restore). The trace is
// then read back and checked:
//   - every rename moves a file that was fsynced after its last change;
//   - every create, rename and unlink in a directory is followed by an
//     fsync of that directory before the next acknowledgement (ACK,
//     CONTINUE_OK, END_OK) leaves the socket;
//   - an ACK that advances durable_seq, a CONTINUE_OK and an END_OK leave
//     only when no file of the backup has unsynced changes, and the
//     checkpoint record went to the journal after the image was synced;
//   - a finished image or catalog is never opened for writing, written,
//     truncated, replaced, renamed away or deleted.
// Acknowledgements are found in the trace by time: the first write of the
// server to the connection after the agent sent the request is its answer
// (the agent waits for every answer before its next request). The checker
// is itself tested on hand-written traces.
//
// What strace cannot see, the order of a journal's deletion and the release
// of the partial's lock, is checked in-process through the file primitives'
// call table.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/file_io.h"
#include "live_target.h"
#include "protocol/frame.h"
#include "server/acl.h"
#include "server/session.h"
#include "store/journal.h"
#include "store/partial_lock.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using live::AgentConn;
using live::Source;

// ---- reading an strace -f -ttt -yy log ------------------------------------------

struct Call {
  long tid = 0;
  size_t entry = 0;  // line of the call's start: the order of events
  size_t exit = 0;   // line of its end (the same line unless interrupted)
  double time = 0;   // seconds since the epoch at the start
  std::string name;
  std::vector<std::string> args;
  std::string ret;
  bool ok() const { return !ret.empty() && ret[0] != '-' && ret[0] != '?'; }
};

// Splits "a, b, {c, d}, [e]" at the top-level commas; text up to the
// closing parenthesis of the call.
size_t split_args(const std::string& s, size_t pos, std::vector<std::string>* out) {
  int depth = 0;
  bool quoted = false;
  std::string cur;
  for (; pos < s.size(); ++pos) {
    char c = s[pos];
    if (quoted) {
      cur += c;
      if (c == '\\' && pos + 1 < s.size()) {
        cur += s[++pos];
      } else if (c == '"') {
        quoted = false;
      }
      continue;
    }
    if (c == '"') {
      quoted = true;
    } else if (c == '(' || c == '[' || c == '{') {
      ++depth;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    } else if (c == ')') {
      if (depth == 0) break;
      --depth;
    } else if (c == ',' && depth == 0) {
      out->push_back(cur);
      cur.clear();
      if (pos + 1 < s.size() && s[pos + 1] == ' ') ++pos;
      continue;
    }
    cur += c;
  }
  if (!cur.empty() || !out->empty()) out->push_back(cur);
  return pos;
}

bool parse_call_text(const std::string& text, Call* call) {
  size_t open = text.find('(');
  if (open == std::string::npos || open == 0) return false;
  call->name = text.substr(0, open);
  for (char c : call->name) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  call->args.clear();
  size_t close = split_args(text, open + 1, &call->args);
  size_t eq = text.find(" = ", close);
  if (eq == std::string::npos) return false;
  call->ret = text.substr(eq + 3);
  return true;
}

// Every system call in the log, in the order of their ends.
std::vector<Call> parse_trace(const std::string& log) {
  struct Pending {
    std::string text;
    size_t entry;
    double time;
  };
  std::map<long, Pending> pending;
  std::vector<Call> calls;
  size_t line_no = 0;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t nl = log.find('\n', pos);
    if (nl == std::string::npos) nl = log.size();
    std::string line = log.substr(pos, nl - pos);
    pos = nl + 1;
    ++line_no;
    char* end = nullptr;
    long tid = strtol(line.c_str(), &end, 10);
    if (end == line.c_str() || *end != ' ') continue;
    char* end2 = nullptr;
    double t = strtod(end + 1, &end2);
    if (end2 == end + 1 || *end2 != ' ') continue;
    std::string rest(end2 + 1);
    if (rest.rfind("+++", 0) == 0 || rest.rfind("---", 0) == 0) continue;
    static const std::string kUnfinished = " <unfinished ...>";
    Call call;
    call.tid = tid;
    std::string text;
    if (rest.rfind("<... ", 0) == 0) {
      size_t r = rest.find(" resumed>");
      auto it = pending.find(tid);
      if (r == std::string::npos || it == pending.end()) continue;
      text = it->second.text + rest.substr(r + 9);
      call.entry = it->second.entry;
      call.time = it->second.time;
      pending.erase(it);
    } else if (rest.size() > kUnfinished.size() &&
               rest.compare(rest.size() - kUnfinished.size(), kUnfinished.size(), kUnfinished) == 0) {
      pending[tid] = Pending{rest.substr(0, rest.size() - kUnfinished.size()), line_no, t};
      continue;
    } else {
      text = rest;
      call.entry = line_no;
      call.time = t;
    }
    call.exit = line_no;
    if (parse_call_text(text, &call)) calls.push_back(call);
  }
  return calls;
}

// "7</a/b>" -> "/a/b"; "AT_FDCWD</x>" -> "/x"; "" when the argument has none.
std::string decoration(const std::string& arg) {
  size_t lt = arg.find('<');
  if (lt == std::string::npos || arg.empty() || arg.back() != '>') return "";
  std::string d = arg.substr(lt + 1, arg.size() - lt - 2);
  static const std::string kDeleted = " (deleted)";
  if (d.size() > kDeleted.size() && d.compare(d.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    d.resize(d.size() - kDeleted.size());
  }
  return d;
}

// A quoted path argument without its quotes and escapes.
std::string unquote(const std::string& arg) {
  if (arg.size() < 2 || arg.front() != '"') return "";
  std::string out;
  for (size_t i = 1; i + 1 < arg.size(); ++i) {
    if (arg[i] == '\\' && i + 2 < arg.size()) {
      char n = arg[++i];
      if (n == 'x' && i + 2 < arg.size()) {
        out += static_cast<char>(std::stoi(arg.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += n == 'n' ? '\n' : n == 't' ? '\t' : n;
      }
    } else {
      out += arg[i];
    }
  }
  return out;
}

// The path named by a directory descriptor argument and a path argument.
std::string at_path(const std::string& dirfd, const std::string& path_arg) {
  std::string p = unquote(path_arg);
  if (p.empty() || p[0] == '/') return p;
  std::string base = decoration(dirfd);
  return base.empty() ? p : base + "/" + p;
}

std::string parent_dir(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// ---- the rules ------------------------------------------------------------------------

enum class AckKind { plain, durable };  // durable: durable_seq advanced, CONTINUE_OK, END_OK

class Auditor {
 public:
  Auditor(std::string root, uint16_t port) : root_(std::move(root)), port_tag_(":" + std::to_string(port) + "->") {}

  // Runs every rule over the calls; acks maps the entry line of each
  // acknowledgement's socket write to its kind.
  void run(const std::vector<Call>& calls, const std::map<size_t, AckKind>& acks) {
    for (const Call& c : calls) {
      if (is_socket_write(c)) {
        auto it = acks.find(c.entry);
        if (it != acks.end()) check_ack(c, it->second);
        continue;
      }
      apply(c);
    }
  }

  std::vector<std::string> violations;
  // What the audit saw, so that a trace missing what it should hold fails.
  size_t renames = 0, file_syncs = 0, dir_syncs = 0, dir_ops = 0, acks_checked = 0, durable_acks = 0;
  std::set<std::string> finished;

 private:
  struct FileState {
    size_t last_change = 0;      // exit line of the last write, truncation or creation
    size_t last_sync = 0;        // entry line of the last fsync that ended
    long last_write_tid = 0;
    bool wrote_with_dirty_image = false;  // journals: the image had unsynced changes at the last write
    bool ever_synced_after_change() const { return last_sync > last_change; }
  };
  struct DirOp {
    size_t exit;
    std::string what;
  };

  bool under_root(const std::string& p) const { return p.size() > root_.size() && p.rfind(root_ + "/", 0) == 0; }

  bool is_socket_write(const Call& c) const { return !connection_of(c).empty(); }

 public:
  // "<server port>-><agent address>" of a write to an agent connection, or "".
  std::string connection_of(const Call& c) const {
    if (c.name != "write" && c.name != "writev" && c.name != "sendto" && c.name != "sendmsg") return "";
    if (c.args.empty()) return "";
    std::string d = decoration(c.args[0]);
    size_t at = d.find(port_tag_);
    if (d.rfind("TCP", 0) != 0 || at == std::string::npos || d.back() != ']') return "";
    return d.substr(at + 1, d.size() - at - 2);
  }

 private:

  static bool is_final_name(const std::string& p) {
    for (const char* ext : {".infb", ".indb", ".inib", ".csfb", ".csdb", ".csib"}) {
      if (ends_with(p, ext)) return true;
    }
    return false;
  }
  static bool is_catalog_name(const std::string& p) {
    return ends_with(p, ".infb") || ends_with(p, ".indb") || ends_with(p, ".inib");
  }
  static std::string image_of_catalog(const std::string& c) {
    std::string stem = c.substr(0, c.size() - 5);
    if (ends_with(c, ".infb")) return stem + ".csfb";
    if (ends_with(c, ".indb")) return stem + ".csdb";
    return stem + ".csib";
  }

  void violation(const Call& c, const std::string& text) {
    violations.push_back("line " + std::to_string(c.entry) + " " + c.name + ": " + text);
  }

  void changed(const Call& c, const std::string& path) {
    if (!under_root(path)) return;
    FileState& f = files_[path];
    f.last_change = c.exit;
    f.last_write_tid = c.tid;
    if (ends_with(path, ".part")) {
      std::string image = path.substr(0, path.size() - 5) + ".tmp";
      auto it = files_.find(image);
      f.wrote_with_dirty_image = it != files_.end() && !it->second.ever_synced_after_change();
    }
    if (finished.count(path) != 0 || is_final_name(path)) violation(c, "changes finished file " + path);
  }

  void dir_op(const Call& c, const std::string& path, const std::string& what) {
    if (!under_root(path)) return;
    ++dir_ops;
    pending_[parent_dir(path)].push_back(DirOp{c.exit, what + " " + path});
  }

  void modify_finished_check(const Call& c, const std::string& path, const char* what) {
    if (finished.count(path) != 0) violation(c, std::string(what) + " finished file " + path);
  }

  void apply(const Call& c) {
    const std::string& n = c.name;
    const auto& a = c.args;
    if (n == "open" || n == "openat" || n == "creat" || n == "openat2") {
      std::string path;
      std::string flags;
      if (n == "open" && a.size() >= 2) {
        path = at_path("", a[0]);
        flags = a[1];
      } else if ((n == "openat" || n == "openat2") && a.size() >= 3) {
        path = at_path(a[0], a[1]);
        flags = a[2];
      } else if (n == "creat" && !a.empty()) {
        path = at_path("", a[0]);
        flags = "O_WRONLY|O_CREAT|O_TRUNC";
      }
      std::string resolved = decoration(c.ret);
      if (!resolved.empty()) path = resolved;
      if (!under_root(path)) return;
      bool writes = flags.find("O_WRONLY") != std::string::npos || flags.find("O_RDWR") != std::string::npos ||
                    flags.find("O_TRUNC") != std::string::npos || flags.find("O_CREAT") != std::string::npos;
      if (writes && (is_final_name(path) || finished.count(path) != 0)) {
        violation(c, "opens finished file for writing: " + path + " " + flags);
      }
      if (!c.ok()) return;
      bool created = flags.find("O_CREAT") != std::string::npos && exists_.count(path) == 0;
      if (created) {
        exists_.insert(path);
        dir_op(c, path, "create");
      }
      if (created || flags.find("O_TRUNC") != std::string::npos) changed(c, path);
      if (flags.find("O_DIRECTORY") == std::string::npos) exists_.insert(path);
      return;
    }
    if (n == "write" || n == "pwrite64" || n == "writev" || n == "pwritev" || n == "pwritev2" || n == "ftruncate" ||
        n == "fallocate") {
      if (!a.empty() && c.ok()) changed(c, decoration(a[0]));
      return;
    }
    if (n == "truncate") {
      if (!a.empty() && c.ok()) changed(c, at_path("", a[0]));
      return;
    }
    if (n == "fsync" || n == "fdatasync") {
      if (a.empty() || !c.ok()) return;
      std::string p = decoration(a[0]);
      if (!under_root(p) && p != root_) return;
      auto pit = pending_.find(p);
      bool is_dir = pit != pending_.end() || dirs_.count(p) != 0 || p == root_;
      if (is_dir) {
        ++dir_syncs;
        if (pit != pending_.end()) {
          auto& ops = pit->second;
          std::vector<DirOp> left;
          for (const DirOp& op : ops) {
            if (op.exit >= c.entry) left.push_back(op);
          }
          ops.swap(left);
        }
      } else {
        ++file_syncs;
      }
      auto fit = files_.find(p);
      if (fit != files_.end()) fit->second.last_sync = std::max(fit->second.last_sync, c.entry);
      return;
    }
    if (n == "mkdir" || n == "mkdirat") {
      std::string p = n == "mkdir" ? (a.empty() ? "" : at_path("", a[0])) : (a.size() < 2 ? "" : at_path(a[0], a[1]));
      if (c.ok() && under_root(p)) {
        dirs_.insert(p);
        dir_op(c, p, "mkdir");
      }
      return;
    }
    if (n == "unlink" || n == "unlinkat" || n == "rmdir") {
      std::string p = n == "unlinkat" ? (a.size() < 2 ? "" : at_path(a[0], a[1])) : (a.empty() ? "" : at_path("", a[0]));
      if (!under_root(p)) return;
      modify_finished_check(c, p, "deletes");
      if (!c.ok()) return;
      exists_.erase(p);
      files_.erase(p);
      dir_op(c, p, "unlink");
      return;
    }
    if (n == "rename" || n == "renameat" || n == "renameat2") {
      std::string from, to;
      if (n == "rename" && a.size() >= 2) {
        from = at_path("", a[0]);
        to = at_path("", a[1]);
      } else if (a.size() >= 4) {
        from = at_path(a[0], a[1]);
        to = at_path(a[2], a[3]);
      }
      if (!under_root(from) && !under_root(to)) return;
      ++renames;
      modify_finished_check(c, from, "renames away");
      if (finished.count(to) != 0 || (is_final_name(to) && exists_.count(to) != 0)) {
        violation(c, "replaces existing " + to);
      }
      auto it = files_.find(from);
      if (it == files_.end()) {
        violation(c, "renames " + from + ", which was never written and synced here");
      } else if (!it->second.ever_synced_after_change()) {
        violation(c, "renames " + from + " without an fsync after its last change");
      }
      if (!c.ok()) return;
      if (it != files_.end()) {
        FileState st = it->second;
        files_.erase(it);
        files_[to] = st;
      }
      exists_.erase(from);
      exists_.insert(to);
      dir_op(c, from, "rename from");
      dir_op(c, to, "rename to");
      if (is_catalog_name(to)) {
        finished.insert(to);
        finished.insert(image_of_catalog(to));
      }
      return;
    }
  }

  void check_ack(const Call& w, AckKind kind) {
    ++acks_checked;
    for (const auto& [dir, ops] : pending_) {
      for (const DirOp& op : ops) {
        if (op.exit < w.entry) {
          violation(w, "acknowledgement leaves before the directory " + dir + " was synced after: " + op.what);
        }
      }
    }
    if (kind != AckKind::durable) return;
    ++durable_acks;
    for (const auto& [path, f] : files_) {
      if (!f.ever_synced_after_change()) violation(w, "durable acknowledgement while " + path + " has unsynced changes");
      if (ends_with(path, ".part") && f.last_write_tid == w.tid && f.wrote_with_dirty_image) {
        violation(w, "journal " + path + " got its checkpoint before its image was synced");
      }
    }
  }

  std::string root_;
  std::string port_tag_;
  std::map<std::string, FileState> files_;
  std::set<std::string> exists_;
  std::set<std::string> dirs_;
  std::map<std::string, std::vector<DirOp>> pending_;
};

// ---- the agent's side ----------------------------------------------------------------------

double now_seconds_precise() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// A request whose answer is an acknowledgement, with the time it was sent.
struct SentRequest {
  double sent = 0;
  std::string connection;  // "<server port>-><agent address>:<agent port>", as the trace shows it
  AckKind kind = AckKind::plain;
  std::string what;
};

std::string connection_tag(uint16_t server_port, const Client& c) {
  struct sockaddr_in local;
  socklen_t len = sizeof local;
  if (getsockname(c.channel.fd, reinterpret_cast<struct sockaddr*>(&local), &len) != 0) return "?";
  char addr[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &local.sin_addr, addr, sizeof addr);
  return std::to_string(server_port) + "->" + addr + ":" + std::to_string(ntohs(local.sin_port));
}

// Maps each acknowledgement to the entry line of the server's first socket
// write after its request was sent. Requests without such a write are
// reported in *missing.
std::map<size_t, AckKind> match_acks(const Auditor& auditor, const std::vector<Call>& calls,
                                     const std::vector<SentRequest>& sent, std::vector<std::string>* missing) {
  std::map<size_t, AckKind> out;
  for (size_t i = 0; i < sent.size(); ++i) {
    const Call* found = nullptr;
    for (const Call& w : calls) {
      if (w.time > sent[i].sent && auditor.connection_of(w) == sent[i].connection) {
        found = &w;
        break;
      }
    }
    // An answer is written before the agent's next request goes out.
    if (found == nullptr || (i + 1 < sent.size() && found->time > sent[i + 1].sent)) {
      missing->push_back(sent[i].what);
      continue;
    }
    auto it = out.find(found->entry);
    if (it == out.end() || sent[i].kind == AckKind::durable) out[found->entry] = sent[i].kind;
  }
  return out;
}

// Every call that changes a file or a directory, syncs one, or writes to a
// socket. "?" lets strace skip a call this architecture does not have.
constexpr const char* kTraced =
    "trace=?open,openat,?openat2,?creat,write,pwrite64,writev,pwritev,?pwritev2,sendto,sendmsg,fsync,fdatasync,"
    "ftruncate,truncate,fallocate,?rename,renameat,?renameat2,?unlink,unlinkat,?rmdir,?mkdir,mkdirat,close";

class SyscallAuditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':') && strace_bin.empty();) {
      if (!dir.empty() && access((dir + "/strace").c_str(), X_OK) == 0) strace_bin = dir + "/strace";
    }
    if (strace_bin.empty()) GTEST_SKIP() << "strace is not installed; the syscall audit cannot run";
    std::string out;
    if (orv_support::run_tool({strace_bin, "-f", "-o", "/dev/null", "true"}, 20000, &out) != 0) {
      GTEST_SKIP() << "strace may not trace processes here (ptrace not permitted): " << out;
    }
    ASSERT_TRUE(files.create(live::kAclText));
    files.dir.make_dir("storage/hosts");
    trace_path = files.dir.sub("server.trace");
  }
  void TearDown() override {
    (void)server.stop(30000);
    std::string logs = server.logs();
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error"}) {
      EXPECT_EQ(logs.find(report), std::string::npos) << report << " in the server logs:\n" << logs;
    }
    // ORV_AUDIT_KEEP_TRACE=<file> keeps the trace for a closer look.
    const char* keep = getenv("ORV_AUDIT_KEEP_TRACE");
    std::error_code ec;
    if (keep != nullptr && !trace_path.empty()) (void)fs::copy_file(trace_path, keep, fs::copy_options::overwrite_existing, ec);
  }

  // Sends the request through fn and records it as an acknowledgement.
  template <typename Fn>
  int32_t acked(AgentConn* conn, AckKind kind, const std::string& what, Fn fn) {
    SentRequest r;
    r.connection = connection_tag(server.port(), conn->c);
    r.sent = now_seconds_precise();
    r.kind = kind;
    r.what = what;
    int32_t rc = fn();
    if (rc == STATUS_OK) requests.push_back(r);
    return rc;
  }
  // One BLOCK; its ACK counts as durable when durable_seq advanced.
  void block(AgentConn* conn, const Source& src, uint64_t i, uint64_t* seq) {
    SentRequest r;
    r.connection = connection_tag(server.port(), conn->c);
    r.sent = now_seconds_precise();
    r.what = "ACK of block " + std::to_string(i);
    uint64_t before = *seq;
    ASSERT_EQ(conn->block(src, i, seq), STATUS_OK) << i;
    r.kind = *seq > before ? AckKind::durable : AckKind::plain;
    requests.push_back(r);
  }

  // Threads of the process that serves the network (one per connection
  // besides its own); 0 when it cannot be found.
  size_t worker_threads() {
    pid_t s = server.server_pid();
    if (s <= 0) return 0;
    std::vector<pid_t> tree = live::process_tree(s);
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(tree.back()) + "/task", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
      ++n;
    }
    return n;
  }
  // Waits until every connection thread has ended its session.
  bool wait_sessions_ended() {
    auto deadline = orv_support::Clock::now() + std::chrono::seconds(20);
    while (worker_threads() != idle_threads) {
      if (orv_support::Clock::now() >= deadline) return false;
      orv_support::sleep_ms(10);
    }
    return true;
  }

  orv_support::TargetFiles files;
  live::LiveTarget server{files};
  std::string strace_bin;
  std::string trace_path;
  std::vector<SentRequest> requests;
  size_t idle_threads = 0;
};

// The checker itself: each kind of violation in a hand-written trace is
// found, and the same trace in a sound order passes.
TEST(SyscallAuditorTest, FindsEachKindOfViolation) {
  const std::string r = "/s";
  auto run = [&](const std::string& log, std::map<size_t, AckKind> acks) {
    Auditor a(r, 9990);
    a.run(parse_trace(log), acks);
    return a.violations;
  };
  const std::string sock = "7<TCP:[127.0.0.1:9990->127.0.0.1:5555]>";
  // create the image, write it, sync it and the directory, rename, sync the
  // directory, acknowledge.
  const std::string sound =
      "10 1.0 openat(AT_FDCWD</>, \"/s/d/a.csfb.tmp\", O_WRONLY|O_CREAT|O_TRUNC|O_CLOEXEC, 0640) = 5</s/d/a.csfb.tmp>\n"
      "10 1.1 pwrite64(5</s/d/a.csfb.tmp>, \"\"..., 4096, 0) = 4096\n"
      "10 1.2 fsync(5</s/d/a.csfb.tmp> <unfinished ...>\n"
      "11 1.2 close(9</x>) = 0\n"
      "10 1.3 <... fsync resumed>) = 0\n"
      "10 1.4 rename(\"/s/d/a.csfb.tmp\", \"/s/d/a.csfb\") = 0\n"
      "10 1.5 openat(AT_FDCWD</>, \"/s/d\", O_RDONLY|O_DIRECTORY|O_CLOEXEC) = 6</s/d>\n"
      "10 1.6 fsync(6</s/d>) = 0\n"
      "10 1.7 write(" + sock + ", \"\"..., 46) = 46\n";
  EXPECT_TRUE(run(sound, {{9, AckKind::durable}}).empty());

  std::string no_file_sync = sound;
  no_file_sync.replace(no_file_sync.find("fsync(5"), 5, "fstat");
  auto v = run(no_file_sync, {{9, AckKind::durable}});
  ASSERT_FALSE(v.empty());
  EXPECT_NE(v[0].find("without an fsync"), std::string::npos) << v[0];

  std::string no_dir_sync = sound;
  no_dir_sync.replace(no_dir_sync.find("fsync(6"), 5, "fstat");
  v = run(no_dir_sync, {{9, AckKind::plain}});
  ASSERT_FALSE(v.empty());
  EXPECT_NE(v[0].find("directory /s/d was synced"), std::string::npos) << v[0];
  // The same socket write is no acknowledgement: nothing to say.
  EXPECT_TRUE(run(no_dir_sync, {}).empty());

  v = run(sound + "10 1.8 openat(AT_FDCWD</>, \"/s/d/a.csfb\", O_RDWR|O_CLOEXEC) = 5</s/d/a.csfb>\n", {});
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v[0].find("opens finished file for writing"), std::string::npos) << v[0];
  v = run(sound + "10 1.8 openat(AT_FDCWD</>, \"/s/d/a.infb\", O_RDONLY|O_CLOEXEC) = 5</s/d/a.infb>\n"
                  "10 1.9 ftruncate(5</s/d/a.infb>, 0) = 0\n",
          {});
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v[0].find("changes finished file"), std::string::npos) << v[0];

  // A journal's checkpoint written while the image was not yet synced.
  const std::string journal =
      "10 2.0 openat(AT_FDCWD</>, \"/s/d/b.csfb.tmp\", O_RDWR|O_CREAT|O_CLOEXEC, 0640) = 5</s/d/b.csfb.tmp>\n"
      "10 2.1 openat(AT_FDCWD</>, \"/s/d/b.csfb.part\", O_RDWR|O_CREAT|O_EXCL|O_CLOEXEC, 0640) = 8</s/d/b.csfb.part>\n"
      "10 2.2 fsync(8</s/d/b.csfb.part>) = 0\n"
      "10 2.3 openat(AT_FDCWD</>, \"/s/d\", O_RDONLY|O_DIRECTORY|O_CLOEXEC) = 6</s/d>\n"
      "10 2.4 fsync(6</s/d>) = 0\n"
      "10 2.5 pwrite64(5</s/d/b.csfb.tmp>, \"\"..., 4096, 0) = 4096\n";
  const std::string ack = "10 2.9 write(" + sock + ", \"\"..., 46) = 46\n";
  const std::string ordered = journal + "10 2.6 fsync(5</s/d/b.csfb.tmp>) = 0\n" +
                              "10 2.7 pwrite64(8</s/d/b.csfb.part>, \"\"..., 128, 131584) = 128\n" +
                              "10 2.8 fsync(8</s/d/b.csfb.part>) = 0\n" + ack;
  EXPECT_TRUE(run(ordered, {{10, AckKind::durable}}).empty());
  const std::string swapped = journal + "10 2.7 pwrite64(8</s/d/b.csfb.part>, \"\"..., 128, 131584) = 128\n" +
                              "10 2.6 fsync(5</s/d/b.csfb.tmp>) = 0\n" + "10 2.8 fsync(8</s/d/b.csfb.part>) = 0\n" +
                              ack;
  v = run(swapped, {{10, AckKind::durable}});
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v[0].find("before its image was synced"), std::string::npos) << v[0];
  const std::string unsynced = journal + "10 2.6 fsync(5</s/d/b.csfb.tmp>) = 0\n" +
                               "10 2.7 pwrite64(8</s/d/b.csfb.part>, \"\"..., 128, 131584) = 128\n" + ack;
  v = run(unsynced, {{9, AckKind::durable}});
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v[0].find("unsynced changes"), std::string::npos) << v[0];
}

// One traced server: a backup interrupted, continued (a block changed, a
// key dropped and sent again) and finished; a backup of an agent that
// cannot continue, interrupted and removed by its next run, which
// finishes; a restore. Then the trace must obey every rule.
TEST_F(SyscallAuditTest, BackupSessionsFollowTheDurabilityOrder) {
  // The leak checker of a sanitizer build cannot run under ptrace; the
  // address and undefined-behaviour checks still do.
  const char* asan = getenv("ASAN_OPTIONS");
  std::string asan_options = std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":detect_leaks=0";
  std::vector<std::string> strace = {strace_bin, "-f", "-ttt", "-yy", "-s", "0", "-qq",
                                     "-E", asan_options, "-o", trace_path, "-e", kTraced};
  ASSERT_TRUE(server.start({"--checkpoint-mib", "1"}, strace)) << server.logs();
  const uint16_t port = server.port();
  idle_threads = worker_threads();
  ASSERT_GT(idle_threads, 0u);
  std::mt19937 rng(1234);
  Source src;
  src.fill(&rng, 256 * 1024, 16, 0, 0);
  std::fill(src.bytes.begin() + 5 * src.block_size, src.bytes.begin() + 6 * src.block_size, 0);  // sent without data
  Uuid uuid;
  for (size_t i = 0; i < UUID_SIZE; ++i) uuid.bytes[i] = static_cast<uint8_t>(0xA0 + i);

  {  // interrupted after ten blocks, two checkpoints among them
    AgentConn a;
    ASSERT_EQ(a.connect(port), STATUS_OK);
    ASSERT_EQ(a.begin(uuid, "db", src), STATUS_OK);
    uint64_t seq = 0;
    for (uint64_t i = 0; i < 10; ++i) block(&a, src, i, &seq);
    ASSERT_GE(seq, 4u);
  }
  {
    AgentConn b;
    ASSERT_EQ(b.connect(port), STATUS_OK);
    PartialInfo info;
    ASSERT_EQ(b.query("db", &info), STATUS_OK);
    ASSERT_TRUE(info.found);
    ContinueOk ok;
    std::vector<CatalogEntryFields> kept;
    ASSERT_EQ(acked(&b, AckKind::durable, "CONTINUE_OK", [&] { return b.continue_backup(uuid, &ok, &kept); }),
              STATUS_OK);
    ASSERT_EQ(kept.size(), 10u);
    uint64_t seq = 0;
    src.rewrite(&rng, 3);
    block(&b, src, 3, &seq);
    const uint64_t drop[] = {7};
    bool has_seq = false;
    ASSERT_EQ(acked(&b, AckKind::plain, "ACK of DROP_ENTRIES",
                    [&] { return client_drop_entries(&b.c, drop, &has_seq, &seq); }),
              STATUS_OK);
    for (uint64_t i = 7; i < src.blocks(); ++i) {
      if (i != 8 && i != 9) block(&b, src, i, &seq);
    }
    EndOk end;
    ASSERT_EQ(acked(&b, AckKind::durable, "END_OK", [&] { return client_end(&b.c, &end); }), STATUS_OK);
    EXPECT_EQ(end.entry_count, src.blocks());
  }
  EXPECT_EQ(live::restore_differences(port, uuid, src), "");

  // An agent that cannot continue: its partial is removed by its next run.
  Source other;
  other.fill(&rng, 128 * 1024, 6, 0, 1000);
  Uuid uuid2 = uuid;
  uuid2.bytes[0] = 0x11;
  {
    AgentConn c;
    ASSERT_EQ(c.connect(port, 0), STATUS_OK);
    ASSERT_EQ(c.begin(uuid2, "db2", other), STATUS_OK);
    uint64_t seq = 0;
    for (uint64_t i = 0; i < 3; ++i) block(&c, other, i, &seq);
  }
  // The earlier connection's session ends on its own thread; its partial
  // is stale once that session has let go of it.
  ASSERT_TRUE(wait_sessions_ended()) << "connection threads still running";
  uuid2.bytes[0] = 0x12;
  {
    AgentConn d;
    ASSERT_EQ(d.connect(port, 0), STATUS_OK);
    PartialInfo info;
    ASSERT_EQ(d.query("db2", &info), STATUS_OK);
    ASSERT_TRUE(info.found);
    ASSERT_EQ(d.begin(uuid2, "db2", other), STATUS_OK);
    uint64_t seq = 0;
    for (uint64_t i = 0; i < other.blocks(); ++i) block(&d, other, i, &seq);
    EndOk end;
    ASSERT_EQ(acked(&d, AckKind::durable, "END_OK of db2", [&] { return client_end(&d.c, &end); }), STATUS_OK);
  }
  EXPECT_EQ(live::restore_differences(port, uuid2, other), "");
  // Nothing of the interrupted runs is left: no temporary image, no journal.
  for (const auto& e : fs::directory_iterator(files.storage + "/" + live::kSubdir)) {
    std::string name = e.path().filename().string();
    EXPECT_FALSE(name.ends_with(".tmp") || name.ends_with(".part")) << name;
  }
  ASSERT_TRUE(server.stop(30000)) << server.logs();

  std::string root = fs::canonical(files.storage).string();
  std::vector<Call> calls = parse_trace(orv_support::read_text(trace_path));
  Auditor auditor(root, port);
  std::vector<std::string> missing;
  std::map<size_t, AckKind> acks = match_acks(auditor, calls, requests, &missing);
  EXPECT_TRUE(missing.empty()) << "no socket write found for " << missing.size() << " acknowledgements, first: "
                               << (missing.empty() ? "" : missing[0]);
  auditor.run(calls, acks);
  for (const std::string& v : auditor.violations) ADD_FAILURE() << v;

  // The trace held what the sessions must have done.
  EXPECT_EQ(auditor.acks_checked, requests.size());
  EXPECT_GE(auditor.durable_acks, 5u);  // checkpoints, CONTINUE_OK, two END_OK
  EXPECT_GE(auditor.renames, 4u);       // image and catalog of two backups
  EXPECT_GE(auditor.file_syncs, 8u);
  EXPECT_GE(auditor.dir_syncs, 4u);
  EXPECT_GE(auditor.dir_ops, 10u);
  EXPECT_EQ(auditor.finished.size(), 4u);
}

// ---- a journal's deletion and its partial lock ------------------------------------------

// The kernel's calls, except that one fsync of a journal fails when armed,
// and every deletion of a journal is checked against its partial lock:
// while the lock is held nobody else can take the partial over.
std::atomic<bool> g_fail_journal_sync{false};
std::atomic<int> g_journal_removals{0};
std::atomic<int> g_removals_unlocked{0};

std::string fd_path(int fd) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

int failing_fsync(int fd) {
  if (g_fail_journal_sync.load() && ends_with(fd_path(fd), ".part")) {
    g_fail_journal_sync = false;
    errno = EIO;
    return -1;
  }
  return file_io_system_ops().fsync_fn(fd);
}

int checked_remove(const char* path) {
  if (ends_with(path, ".part")) {
    g_journal_removals += 1;
    if (partial_lock_try(path, -1) == STATUS_OK) {
      g_removals_unlocked += 1;
      partial_unlock(path);
    }
  }
  return file_io_system_ops().remove_fn(path);
}

// The real session code on a thread of its own over a socket pair, as a
// connection thread runs it; `agent` is the other end.
class InProcessSession {
 public:
  // The session checkpoints after checkpoint_bytes of data.
  InProcessSession(const std::string& root, const AclEntry* acl, uint64_t checkpoint_bytes) : root_(root) {
    config_.storage_root = root_.c_str();
    config_.diag_off = true;
    config_.store.checkpoint_bytes = checkpoint_bytes;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
    struct timeval tv = {30, 0};
    (void)setsockopt(sv[1], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // bounds every wait of the agent
    if (client_attach_plain(&agent, sv[1]) != STATUS_OK) {
      close(sv[0]);
      close(sv[1]);
      return;
    }
    Channel server;
    server.fd = sv[0];
    thread_ = std::thread([this, acl, server] {
      auto buffer = std::make_unique<uint8_t[]>(FRAME_MAX_PAYLOAD);
      auto session = std::make_unique<Session>();
      session_init(session.get(), config_, acl, 1, server);
      int32_t rc = STATUS_OK;
      while (session_state(session.get()) != SessionState::done && session_state(session.get()) != SessionState::error) {
        FrameHeader h;
        rc = receive_frame(&session->channel, &h, std::span<uint8_t>(buffer.get(), FRAME_MAX_PAYLOAD));
        if (rc == STATUS_OK) rc = session_dispatch(session.get(), h, std::span<const uint8_t>(buffer.get(), h.length));
        if (rc != STATUS_OK) break;
      }
      session_end(session.get(), rc);
      channel_close(&session->channel);
    });
  }
  InProcessSession(const InProcessSession&) = delete;
  InProcessSession& operator=(const InProcessSession&) = delete;
  ~InProcessSession() {
    if (agent.channel.fd >= 0) shutdown(agent.channel.fd, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    client_close(&agent);
  }
  Client agent;

 private:
  std::string root_;
  ServerConfig config_;  // the session's settings, made before its thread
  std::thread thread_;
};

// A journal is deleted only while its session still holds the partial's
// lock: when a checkpoint fails (the backup goes on without a journal and
// must not be taken over meanwhile) and when the backup ends. A failed
// checkpoint also leaves durable_seq where it was.
TEST(JournalLockOrderTest, AJournalIsDeletedOnlyWhileItsLockIsHeld) {
  orv_support::TempDir dir;
  std::string root = dir.make_dir("storage");
  dir.make_dir("storage/hosts");
  AclEntry acl;
  memset(&acl, 0, sizeof acl);
  sha256(live::kKey, strlen(live::kKey), acl.key_digest);
  snprintf(acl.patterns[0], sizeof acl.patterns[0], "hosts/**");
  acl.pattern_count = 1;

  FileOps ops = file_io_system_ops();
  ops.fsync_fn = failing_fsync;
  ops.remove_fn = checked_remove;
  const FileOps* before = file_io_set_ops(&ops);
  std::mt19937 rng(7);
  for (bool fail : {true, false}) {
    SCOPED_TRACE(fail ? "failed checkpoint" : "finished backup");
    Source src;
    src.fill(&rng, 256 * 1024, 6, 0, 0);
    Uuid uuid;
    uuid.bytes[0] = fail ? 1 : 2;
    {
      InProcessSession s(root, &acl, 1u << 20);
      HelloReply reply;
      ASSERT_EQ(client_hello(&s.agent, live::kKey, true, FLAG_CONTINUE, &reply), STATUS_OK);
      BeginRequest b;
      b.uuid = uuid;
      b.chain_uuid = uuid;
      b.block_size = src.block_size;
      b.source_size = src.bytes.size();
      snprintf(b.target_name, sizeof b.target_name, "j%d", fail ? 1 : 2);
      snprintf(b.target_subdir, sizeof b.target_subdir, "%s", live::kSubdir);
      ASSERT_EQ(client_begin(&s.agent, b), STATUS_OK);
      g_fail_journal_sync = fail;
      uint64_t seq = 0;
      for (uint64_t i = 0; i < src.blocks(); ++i) {
        std::span<const uint8_t> data;
        BlockHeader h = live::block_header(src, i, &data);
        bool has_seq = false;
        ASSERT_EQ(client_block(&s.agent, h, data, &has_seq, &seq), STATUS_OK);
      }
      EXPECT_EQ(seq, fail ? 0u : 4u);
      EndOk end;
      ASSERT_EQ(client_end(&s.agent, &end), STATUS_OK);
      EXPECT_EQ(end.entry_count, src.blocks());
    }
  }
  (void)file_io_set_ops(before);
  EXPECT_FALSE(g_fail_journal_sync.load()) << "the journal's checkpoint never ran";
  EXPECT_EQ(g_journal_removals.load(), 2);
  EXPECT_EQ(g_removals_unlocked.load(), 0) << "a journal was deleted after its lock was released";
}

}  // namespace
}  // namespace orv
