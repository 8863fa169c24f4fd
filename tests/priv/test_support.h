// Helpers for the tests of the privileged side: temporary directories,
// stand-in tool scripts, PATH changes, the service user, bounded waits.
#pragma once

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace orv::testing_support {

// A fresh directory below /tmp that every user may search (the service user
// must reach sockets and scripts inside); removed with its contents.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/orv_priv_XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
    chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline bool write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok && chmod(path.c_str(), mode) == 0;
}

inline std::string read_file(const std::string& path) {
  std::string out;
  if (FILE* f = fopen(path.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
  }
  return out;
}

inline bool write_script(const std::string& dir, const std::string& name, const std::string& body) {
  return write_file(dir + "/" + name, "#!/bin/sh\n" + body + "\n", 0755);
}

inline std::string current_path_env() {
  const char* p = getenv("PATH");
  return p != nullptr ? p : "/usr/sbin:/usr/bin:/sbin:/bin";
}

// Sets PATH while the object lives.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& path) : old_(current_path_env()) { setenv("PATH", path.c_str(), 1); }
  ~ScopedPath() { setenv("PATH", old_.c_str(), 1); }
  ScopedPath(const ScopedPath&) = delete;
  ScopedPath& operator=(const ScopedPath&) = delete;

 private:
  std::string old_;
};

// Creates the service user when it is missing (root only).
inline bool ensure_service_user() {
  if (getpwnam("orvsvc") == nullptr && geteuid() == 0) {
    int rc = system("useradd --system --no-create-home --shell /usr/sbin/nologin orvsvc >/dev/null 2>&1");
    (void)rc;  // the lookup below decides
  }
  return getpwnam("orvsvc") != nullptr;
}
inline uid_t service_uid() { return getpwnam("orvsvc")->pw_uid; }
inline gid_t service_gid() { return getpwnam("orvsvc")->pw_gid; }
inline bool become_service_user() { return setgid(service_gid()) == 0 && setuid(service_uid()) == 0; }

inline void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// Waits for pid up to timeout_ms, then SIGKILLs and reaps it. Returns the
// raw wait status, or -1 when it had to be killed.
inline int wait_bounded(pid_t pid, int timeout_ms) {
  int status = 0;
  for (int waited = 0; waited < timeout_ms; waited += 20, sleep_ms(20)) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) return status;
    if (w < 0) return -1;
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

inline int exit_code_of(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace orv::testing_support
