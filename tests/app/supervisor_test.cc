// Privilege separation: the drop to the service user, the supervisor in a
// forked test child, and the real binary started as root (parent and worker,
// the privileged socket, signals, --priv-debug). There is no device-mapper
// here, so the parent runs stand-in lvs/lvcreate scripts first on its PATH.
// Tests that need root skip otherwise.
#include "app/supervisor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/status.h"
#include "priv/privdrop.h"
#include "priv/test_support.h"

namespace orv {
namespace {

namespace ts = testing_support;
using ts::TempDir;
using ts::read_file;

#define REQUIRE_ROOT_AND_SERVICE_USER()                                                        \
  do {                                                                                         \
    if (geteuid() != 0) GTEST_SKIP() << "needs root (fork, drop and peer checks)";             \
    if (!ts::ensure_service_user()) GTEST_SKIP() << "user orvsvc missing and cannot be created"; \
  } while (0)

TEST(PrivSocketPaths, DirectoryComesFromTheEnvironmentUnlessEmpty) {
  char path[PRIV_SOCK_PATH_SIZE], dir[PRIV_SOCK_DIR_SIZE];
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    if (value != nullptr) setenv(PRIV_SOCK_DIR_ENV, value, 1); else unsetenv(PRIV_SOCK_DIR_ENV);
    priv_socket_paths(path, sizeof path, dir, sizeof dir);
    EXPECT_STREQ(dir, "/run/orv_target");
    EXPECT_STREQ(path, "/run/orv_target/priv.sock");
  }
  setenv(PRIV_SOCK_DIR_ENV, "/tmp/x y", 1);
  priv_socket_paths(path, sizeof path, dir, sizeof dir);
  unsetenv(PRIV_SOCK_DIR_ENV);
  EXPECT_STREQ(dir, "/tmp/x y");
  EXPECT_STREQ(path, "/tmp/x y/priv.sock");
}

// Runs fn in a forked child with stderr in log_path; returns its exit code.
int in_child(const std::string& log_path, int (*fn)(void*), void* arg, std::string* log) {
  pid_t pid = fork();
  if (pid == 0) {
    if (freopen(log_path.c_str(), "w", stderr) == nullptr) _exit(90);
    setvbuf(stderr, nullptr, _IONBF, 0);
    _exit(fn(arg));
  }
  int code = ts::exit_code_of(ts::wait_bounded(pid, 20000));
  *log = read_file(log_path);
  return code;
}

int drop_and_probe(void*) {
  if (drop_privileges() != 0) return 10;
  if (getuid() != ts::service_uid() || geteuid() != ts::service_uid() || getegid() != ts::service_gid()) return 11;
  gid_t groups[64];
  int n = getgroups(64, groups);
  for (int i = 0; i < n; ++i) {
    if (groups[i] == 0) return 12;  // root's supplementary groups are gone
  }
  if (setuid(0) == 0 || seteuid(0) == 0) return 13;
  return drop_privileges() == 0 ? 0 : 14;  // a second call does nothing
}

TEST(DropPrivileges, RootBecomesTheServiceUserForGood) {
  REQUIRE_ROOT_AND_SERVICE_USER();
  TempDir dir;
  std::string log;
  EXPECT_EQ(in_child(dir.file("log"), drop_and_probe, nullptr, &log), 0) << log;
  std::string line = "INFO  dropped root, now running as orvsvc (uid=" + std::to_string(ts::service_uid()) +
                     " gid=" + std::to_string(ts::service_gid()) + ")\n";
  EXPECT_EQ(log.substr(log.find("INFO")), line);  // logged once only
}

// run_supervised in a forked child; the worker's listener fails at once
// (its certificate does not exist).
int supervised(void* sock_dir) {
  setenv(PRIV_SOCK_DIR_ENV, static_cast<const char*>(sock_dir), 1);
  ServerConfig config;
  config.bind_address = "127.0.0.1";
  config.storage_root = config.tls_cert_path = config.tls_key_path = config.acl_file_path = "/nonexistent/x";
  int32_t rc = run_supervised(config);
  return rc == STATUS_OK ? 0 : rc == STATUS_IO ? 1 : 2;
}

int supervised_as_service_user(void* sock_dir) { return ts::become_service_user() ? supervised(sock_dir) : 30; }

TEST(RunSupervised, FailingWorkerTakesTheParentDownAndAStaleSocketIsReplaced) {
  REQUIRE_ROOT_AND_SERVICE_USER();
  TempDir dir;
  std::string sock_dir = dir.file("run"), sock = sock_dir + "/priv.sock";
  ASSERT_EQ(mkdir(sock_dir.c_str(), 0755), 0);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);  // left behind as by a crash
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, sock.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  close(fd);

  std::string log;
  EXPECT_EQ(in_child(dir.file("log"), supervised, sock_dir.data(), &log), 1) << log;
  EXPECT_NE(log.find("dropped root, now running as orvsvc"), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR worker process exited unexpectedly (status=256); exiting so systemd restarts the unit"),
            std::string::npos) << log;
  struct stat st;
  EXPECT_NE(lstat(sock_dir.c_str(), &st), 0) << "socket and empty directory are removed";
}

TEST(RunSupervised, RegularFileAtTheSocketPathIsKeptAndNothingIsForked) {
  REQUIRE_ROOT_AND_SERVICE_USER();
  TempDir dir;
  std::string sock_dir = dir.file("run"), sock = sock_dir + "/priv.sock";
  ASSERT_EQ(mkdir(sock_dir.c_str(), 0755), 0);
  ASSERT_TRUE(ts::write_file(sock, "keep me"));
  std::string log;
  EXPECT_EQ(in_child(dir.file("log"), supervised, sock_dir.data(), &log), 1) << log;
  EXPECT_NE(log.find("ERROR cannot bind " + sock + ": Address already in use"), std::string::npos) << log;
  EXPECT_EQ(log.find("privileged parent"), std::string::npos);
  EXPECT_EQ(read_file(sock), "keep me");
  struct stat st;
  ASSERT_EQ(stat(sock_dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0710u);
  EXPECT_EQ(st.st_gid, ts::service_gid());
}

TEST(RunSupervised, OtherUsersRunTheWorkerInPlaceWithoutASocket) {
  REQUIRE_ROOT_AND_SERVICE_USER();
  TempDir dir;
  std::string sock_dir = dir.file("run");
  std::string log;
  EXPECT_NE(in_child(dir.file("log"), supervised_as_service_user, sock_dir.data(), &log), 0) << log;
  EXPECT_NE(log.find("failed to load TLS certificate/key"), std::string::npos) << log;
  EXPECT_EQ(log.find("privileged parent"), std::string::npos) << log;
  struct stat st;
  EXPECT_NE(stat(sock_dir.c_str(), &st), 0);
}

// ---------------------------------------------------------------------------
// The real binary, started as root.

class ServerBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ROOT_AND_SERVICE_USER();
    ASSERT_EQ(mkdir(dir_.file("tools").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir_.file("storage").c_str(), 0755), 0);
    ASSERT_EQ(chown(dir_.file("storage").c_str(), ts::service_uid(), ts::service_gid()), 0);
    sock_ = dir_.file("run/priv.sock");
    std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                      "-subj /CN=localhost -keyout " + dir_.file("key.pem") + " -out " + dir_.file("cert.pem") +
                      " >/dev/null 2>&1";
    ASSERT_EQ(system(cmd.c_str()), 0);
    chmod(dir_.file("key.pem").c_str(), 0644);  // read by the worker after the drop
    ASSERT_TRUE(ts::write_file(dir_.file("acl"), "0123456789abcdef0123456789abcdef backups\n"));
    ASSERT_TRUE(ts::write_script(dir_.file("tools"), "lvs",
                                 "for a; do last=$a; done\n"
                                 "case \"$*\" in *lv_tags*) echo '  orv_agent'; exit 0;; esac\n"
                                 "[ \"$last\" = vg0/lv0 ] || exit 5\n"
                                 "echo '  vg0|lv0|-wi-a-----|10737418240|linear||253|3'"));
    ASSERT_TRUE(ts::write_script(dir_.file("tools"), "lvcreate", "printf '%s ' \"$@\" > " + dir_.file("lvcreate.args")));
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      ts::wait_bounded(pid_, 5000);
    }
  }

  // Forks and execs argv with stdout and stderr into files.
  static pid_t spawn(std::vector<std::string> argv, const std::string& out, const std::string& err,
                     const std::vector<std::string>& env = {}) {
    pid_t pid = fork();
    if (pid == 0) {
      for (const auto& e : env) putenv(strdup(e.c_str()));
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = err == out ? o : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o < 0 || e < 0) _exit(90);
      dup2(o, STDOUT_FILENO);
      dup2(e, STDERR_FILENO);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(91);
    }
    return pid;
  }

  // Starts the server on a port below 32768 (another one when it is taken)
  // and waits for its listening line.
  void start() {
    for (int attempt = 0; attempt < 5; ++attempt) {
      std::string port = std::to_string(20000 + (getpid() * 7919 + attempt * 1031 + time(nullptr)) % 12000);
      log_ = dir_.file("server" + std::to_string(attempt) + ".log");
      pid_ = spawn({ORV_TARGET_BIN, "--storage", dir_.file("storage"), "--tls-cert", dir_.file("cert.pem"),
                    "--tls-key", dir_.file("key.pem"), "--acl-file", dir_.file("acl"), "--bind", "127.0.0.1",
                    "--port", port, "--no-log", "--no-syslog", "--no-diag", "--drain-timeout", "5"},
                   log_, log_,
                   {std::string(PRIV_SOCK_DIR_ENV) + "=" + dir_.file("run"),
                    "PATH=" + dir_.file("tools") + ":" + ts::current_path_env()});
      if (wait_for_log("orv_target listening on", 15000)) {
        std::string log = read_file(log_);
        int parent = 0, uid = -1;
        ASSERT_EQ(sscanf(log.c_str() + log.find("privileged parent"),
                         "privileged parent pid=%d forked unprivileged worker pid=%d (uid=%d)", &parent, &worker_, &uid),
                  3) << log;
        EXPECT_EQ(parent, pid_);
        EXPECT_EQ(uid, static_cast<int>(ts::service_uid()));
        return;
      }
      kill(pid_, SIGKILL);
      ts::wait_bounded(pid_, 5000);
      pid_ = -1;
      if (read_file(log_).find("cannot bind 127.0.0.1") == std::string::npos) break;
    }
    FAIL() << "server did not start:\n" << read_file(log_);
  }

  bool wait_for_log(const std::string& text, int timeout_ms = 10000) {
    for (int waited = 0; waited < timeout_ms; waited += 50, ts::sleep_ms(50)) {
      if (read_file(log_).find(text) != std::string::npos) return true;
    }
    return false;
  }

  int wait_exit(int timeout_ms) {
    int code = ts::exit_code_of(ts::wait_bounded(pid_, timeout_ms));
    pid_ = -1;
    return code;
  }

  static bool process_gone(pid_t pid) {
    for (int waited = 0; waited < 5000; waited += 50, ts::sleep_ms(50)) {
      std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
      if (status.empty() || status.find("State:\tZ") != std::string::npos) return true;
    }
    return false;
  }

  struct Output {
    int code = -1;
    std::string out, err;
  };

  // The binary's --priv-debug mode on the test socket, as the service user
  // (through setpriv) or as root.
  Output priv_debug(const std::string& mode, const std::string& vg, const std::string& lv, bool as_service = true,
                    std::vector<std::string> more = {}) {
    std::vector<std::string> argv;
    if (as_service) argv = {"setpriv", "--reuid=orvsvc", "--regid=orvsvc", "--init-groups"};
    argv.insert(argv.end(), {ORV_TARGET_BIN, "--no-log", "--no-syslog", "--priv-debug", mode, "--sock", sock_,
                             "--vg", vg});
    if (!lv.empty()) argv.insert(argv.end(), {"--lv", lv});
    argv.insert(argv.end(), more.begin(), more.end());
    Output r;
    r.code = ts::exit_code_of(ts::wait_bounded(spawn(argv, dir_.file("dbg.out"), dir_.file("dbg.err")), 30000));
    r.out = read_file(dir_.file("dbg.out"));
    r.err = read_file(dir_.file("dbg.err"));
    return r;
  }

  TempDir dir_;
  std::string sock_, log_;
  pid_t pid_ = -1;
  pid_t worker_ = -1;
};

TEST_F(ServerBinary, ParentServesTheSocketAndStopsCleanly) {
  start();
  std::string uid = std::to_string(ts::service_uid());
  std::string status = read_file("/proc/" + std::to_string(worker_) + "/status");
  EXPECT_NE(status.find("Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid), std::string::npos) << status;
  struct stat st;
  ASSERT_EQ(lstat(sock_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, ts::service_gid());
  ASSERT_EQ(stat(dir_.file("run").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0710u);

  // The service user is served, and noted as not being the worker.
  Output q = priv_debug("lv_query", "vg0", "lv0");
  EXPECT_EQ(q.code, 0) << q.err;
  EXPECT_EQ(q.out, "OK found=1 tagged=1 size_bytes=10737418240 attr=-wi-a----- segtype=linear origin= major=253 minor=3\n");
  q = priv_debug("lv_query", "vg0", "nolv");
  EXPECT_EQ(q.out, "OK found=0 tagged=0 size_bytes=0 attr= segtype= origin= major=0 minor=0\n");
  q = priv_debug("lv_create", "vg0", "lv1");
  EXPECT_EQ(q.out, "OK dev_path=/dev/vg0/lv1\n");
  EXPECT_EQ(read_file(dir_.file("lvcreate.args")), "-y -n lv1 -L 1K vg0 ");  // no --size: 1K
  q = priv_debug("lv_remove", "vg;x", "lv1");
  EXPECT_EQ(q.code, 1);
  EXPECT_EQ(q.out, "ERR invalid volume group or logical volume name\n");
  EXPECT_TRUE(wait_for_log("not the running worker (pid=" + std::to_string(worker_) + "), likely --priv-debug run by hand"));

  // Root is refused without an answer; the parent keeps serving.
  q = priv_debug("lv_query", "vg0", "lv0", false);
  EXPECT_EQ(q.code, 1);
  EXPECT_EQ(q.out, "ERR could not read the response from " + sock_ + " (I/O error, status=-1)\n");
  EXPECT_TRUE(wait_for_log("WARN  privileged IPC: rejected connection from pid="));
  EXPECT_TRUE(wait_for_log("uid=0 (expected uid=" + uid + ")"));

  // SIGHUP reaches the worker, which reloads certificate and ACL.
  ASSERT_EQ(kill(pid_, SIGHUP), 0);
  EXPECT_TRUE(wait_for_log("SIGHUP reload: reloaded TLS certificate/key from " + dir_.file("cert.pem")));
  EXPECT_TRUE(wait_for_log("SIGHUP reload: loaded 1 ACL entry from " + dir_.file("acl")));

  // SIGTERM: the worker drains, the parent exits 0 and removes its socket.
  ASSERT_EQ(kill(pid_, SIGTERM), 0);
  EXPECT_EQ(wait_exit(15000), 0) << read_file(log_);
  EXPECT_NE(read_file(log_).find("INFO  stopped"), std::string::npos);
  EXPECT_NE(lstat(sock_.c_str(), &st), 0);
  EXPECT_TRUE(process_gone(worker_));
}

TEST_F(ServerBinary, StalledClientHoldsTheParentForAtMostTenSeconds) {
  start();
  // Connects as the service user, sends part of a header and stalls.
  pid_t staller = fork();
  if (staller == 0) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, sock_.c_str());
    if (!ts::become_service_user() || connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
        write(fd, "ORVP\1", 5) != 5) {
      _exit(1);
    }
    sleep(60);
    _exit(0);
  }
  ts::sleep_ms(300);
  time_t begin = time(nullptr);
  Output q = priv_debug("lv_query", "vg0", "lv0");
  time_t waited = time(nullptr) - begin;
  kill(staller, SIGKILL);
  ts::wait_bounded(staller, 5000);
  EXPECT_EQ(q.code, 0) << q.out << q.err;
  EXPECT_GE(waited, 8);
  EXPECT_LE(waited, 14);
  EXPECT_TRUE(wait_for_log("WARN  privileged IPC: could not read a request frame: I/O error (status=-1)"));
}

TEST_F(ServerBinary, KilledWorkerMakesTheParentExitOne) {
  start();
  ASSERT_EQ(kill(worker_, SIGKILL), 0);
  EXPECT_EQ(wait_exit(15000), 1);
  EXPECT_NE(read_file(log_).find("ERROR worker process exited unexpectedly (status=9); exiting so systemd restarts the unit"),
            std::string::npos) << read_file(log_);
  EXPECT_NE(read_file(log_).find("orv_target exited with I/O error (status=-1)"), std::string::npos);
}

TEST_F(ServerBinary, KilledParentTakesTheWorkerDown) {
  start();
  ASSERT_EQ(kill(pid_, SIGKILL), 0);
  wait_exit(5000);
  EXPECT_TRUE(process_gone(worker_)) << "worker " << worker_ << " survived its parent";
}

// The tool's output reaches the operator as the tool wrote it, trailing
// blanks and line ends included.
TEST_F(ServerBinary, LvmToolOutputIsQuotedAsWritten) {
  ASSERT_TRUE(ts::write_script(dir_.file("tools"), "lvcreate", "printf '  no free space  \\n\\n'; exit 5"));
  ASSERT_TRUE(ts::write_script(dir_.file("tools"), "lvremove", "printf 'busy\\t\\n'; exit 5"));
  start();
  Output q = priv_debug("lv_create", "vg0", "lv1");
  EXPECT_EQ(q.code, 1);
  EXPECT_EQ(q.out, "ERR could not create LV vg0/lv1:   no free space  \n\n\n");
  q = priv_debug("lv_remove", "vg0", "lv1");
  EXPECT_EQ(q.code, 1);
  EXPECT_EQ(q.out, "ERR could not remove LV vg0/lv1: busy\t\n\n");
}

TEST_F(ServerBinary, PrivDebugUsageAndConnectErrors) {
  Output q = priv_debug("lv_query", "vg0", "");
  EXPECT_EQ(q.code, 1);
  EXPECT_EQ(q.out, "");
  EXPECT_NE(q.err.find("ERR --priv-debug needs --sock, --vg and --lv (and --size for lv_create)\n"), std::string::npos)
      << q.err;
  q = priv_debug("lv_grow", "vg0", "lv0");
  EXPECT_EQ(q.code, 1);
  EXPECT_NE(q.err.find("ERR unknown --priv-debug mode 'lv_grow' (lv_create|lv_remove|lv_query)\n"), std::string::npos);
  q = priv_debug("lv_remove", "vg0", "lv0");  // no server is running
  EXPECT_EQ(q.code, 1);
  EXPECT_EQ(q.out, "ERR cannot connect to " + sock_ + ": No such file or directory\n");
}

}  // namespace
}  // namespace orv
