// Test helpers for diagnostics archives: a scratch directory, whole files,
// and shell commands (the real zstd and GNU tar tools) under a time limit.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace orv::testing_tools {

// A fresh directory below /tmp, removed with its contents at the end.
class ScratchDir {
 public:
  ScratchDir() {
    char templ[] = "/tmp/orv_diag_test_XXXXXX";
    if (mkdtemp(templ) != nullptr) path_ = templ;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Standard output of command (run by sh under a 120 s limit; no single
// quotes inside) into *out; returns its exit status, -1 if it did not exit.
inline int run_command(const std::string& command, std::string* out = nullptr) {
  FILE* p = popen(("timeout 120 sh -c '" + command + "'").c_str(), "r");
  if (p == nullptr) return -1;
  std::string text;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  int status = pclose(p);
  if (out != nullptr) *out = text;
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool read_file(const std::string& path, std::string* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out->append(buf, n);
  fclose(f);
  return true;
}

inline bool write_file(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

// "tar --list --verbose" of a .tar.zst, one entry per line with runs of
// blanks collapsed: "-rw-r--r-- root/root 513 1970-01-01 00:00:00 name".
inline std::vector<std::string> list_bundle(const std::string& path) {
  std::string text;
  std::vector<std::string> lines(1);
  if (run_command("zstd -q -d -c " + path + " | TZ=UTC tar --list --verbose --full-time -f -",
                  &text) != 0) {
    return {};
  }
  for (char ch : text) {
    if (ch == '\n') {
      lines.emplace_back();
    } else if (ch != ' ' || lines.back().empty() || lines.back().back() != ' ') {
      lines.back().push_back(ch);
    }
  }
  lines.pop_back();
  return lines;
}

}  // namespace orv::testing_tools
