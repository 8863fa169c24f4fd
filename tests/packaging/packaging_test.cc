// Checks the operating setup shipped in dist/: the systemd unit, the manual
// page, and the Debian package built from this build tree with cpack. Each
// check needs a system tool (systemd-analyze, man, cpack, dpkg-deb, dpkg);
// a missing tool skips its check with a message.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kSource = ORV_SOURCE_DIR;
const std::string kBinaryDir = ORV_BINARY_DIR;
const std::string kTargetBin = ORV_TARGET_BIN;
const std::string kAdminBin = ORV_ADMIN_BIN;
// The operator tool's units, shipped beside the server's.
const char* const kAdminUnits[] = {"orv-prune.service", "orv-prune.timer", "orv-verify.service", "orv-verify.timer"};

struct CommandResult {
  int exit_code = -1;
  std::string output;  // standard output and standard error together
};

// Runs a shell command, bounded by `timeout` so that no check can hang. The
// command is wrapped in single quotes and must not contain any.
CommandResult run(const std::string& command, int limit_seconds = 120) {
  CommandResult result;
  if (command.find('\'') != std::string::npos) {
    result.output = "command contains a single quote: " + command;
    return result;
  }
  std::string bounded = "timeout -k 5 " + std::to_string(limit_seconds) + " sh -c '" + command + "' 2>&1";
  FILE* pipe = popen(bounded.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

// Quotes a path for the single-quoted shell command of run(): the command
// itself sits inside '...', so a path is put in double quotes.
std::string q(const std::string& path) { return "\"" + path + "\""; }

bool have_tool(const std::string& name) { return run("command -v " + name + " >/dev/null").exit_code == 0; }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string trim(std::string s) {
  size_t b = s.find_first_not_of(" \t\n");
  size_t e = s.find_last_not_of(" \t\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/orv_packaging_XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Values of every "Key=" line of a unit file, in order.
std::vector<std::string> unit_values(const std::string& unit, const std::string& key) {
  std::vector<std::string> values;
  for (const std::string& line : lines_of(unit)) {
    if (line.rfind(key + "=", 0) == 0) values.push_back(line.substr(key.size() + 1));
  }
  return values;
}

// The value of ORV_TARGET_OPTS in the environment file, split into words.
std::vector<std::string> default_options() {
  std::vector<std::string> words;
  for (const std::string& line : lines_of(read_file(kSource + "/dist/orv_target.default"))) {
    const std::string key = "ORV_TARGET_OPTS=";
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    std::istringstream in(value);
    for (std::string w; in >> w;) words.push_back(w);
  }
  return words;
}

std::string option_value(const std::vector<std::string>& words, const std::string& name) {
  for (size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] == name) return words[i + 1];
  }
  return "";
}

// Output of `orv_target --help` when the program prints its usage text, else
// empty. The run log is switched off so that nothing is written outside.
std::string help_text() {
  if (access(kTargetBin.c_str(), X_OK) != 0) return "";
  CommandResult r = run(q(kTargetBin) + " --no-log --no-syslog --help", 30);
  if (r.exit_code != 0 || r.output.find("Usage:") == std::string::npos) return "";
  return r.output;
}

// "1.0.2-alpha028" from "orv_target 1.0.2-alpha028", or empty.
std::string program_version() {
  if (access(kTargetBin.c_str(), X_OK) != 0) return "";
  CommandResult r = run(q(kTargetBin) + " --version", 30);
  const std::string prefix = "orv_target ";
  if (r.exit_code != 0 || r.output.rfind(prefix, 0) != 0) return "";
  return trim(r.output.substr(prefix.size()));
}

// Renders a manual page as plain ASCII text; warnings of the formatter go to
// `warnings`.
std::string render_man(const std::string& page, const TempDir& dir, std::string* warnings) {
  CommandResult r = run("LC_ALL=C MANWIDTH=80 MANPAGER=cat PAGER=cat man -l --warnings " + q(page) + " 2>" +
                        q(dir.sub("man.err")));
  if (warnings != nullptr) *warnings = read_file(dir.sub("man.err"));
  return r.exit_code == 0 ? r.output : "";
}

// True when `word` occurs in `text` as a whole option name: not directly
// preceded or followed by another letter, digit or hyphen.
bool has_word(const std::string& text, const std::string& word) {
  auto part_of_name = [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; };
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    bool start_ok = at == 0 || !part_of_name(text[at - 1]);
    bool end_ok = at + word.size() == text.size() || !part_of_name(text[at + word.size()]);
    if (start_ok && end_ok) return true;
  }
  return false;
}

// ---- systemd unit -----------------------------------------------------------

TEST(ServiceUnit, VerifiesWithoutAnyMessage) {
  if (!have_tool("systemd-analyze")) GTEST_SKIP() << "systemd-analyze not installed (Debian package systemd)";
  if (!have_tool("man")) GTEST_SKIP() << "man not installed (Debian package man-db); the unit's Documentation= needs it";
  std::string unit = read_file(kSource + "/dist/orv_target.service");
  // The install step rewrites exactly this text for other prefixes.
  const std::string exec = "ExecStart=/usr/sbin/orv_target ";
  size_t at = unit.find(exec);
  ASSERT_NE(at, std::string::npos) << "the unit must start /usr/sbin/orv_target";

  // systemd-analyze checks that the program exists and that the manual page
  // named in Documentation= can be found; point both at this tree.
  TempDir dir;
  std::string program = access(kTargetBin.c_str(), X_OK) == 0 ? kTargetBin : "/bin/true";
  unit.replace(at, exec.size(), "ExecStart=" + program + " ");
  ASSERT_TRUE(write_file(dir.sub("orv_target.service"), unit));
  std::error_code ec;
  fs::create_directories(dir.sub("man/man8"), ec);
  fs::copy_file(kSource + "/dist/orv_target.8", dir.sub("man/man8/orv_target.8"), ec);
  ASSERT_FALSE(ec) << ec.message();

  CommandResult r = run("MANPATH=" + q(dir.sub("man")) + " systemd-analyze verify " + q(dir.sub("orv_target.service")));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.output, "") << "every warning of systemd-analyze counts as a fault";
}

TEST(ServiceUnit, MatchesTheDefaultCommandLine) {
  std::string unit = read_file(kSource + "/dist/orv_target.service");
  std::vector<std::string> words = default_options();
  ASSERT_FALSE(words.empty()) << "ORV_TARGET_OPTS missing from dist/orv_target.default";

  // Without one of these the program refuses to start (exit status 2).
  for (const char* required : {"--storage", "--tls-cert", "--tls-key", "--acl-file"}) {
    EXPECT_NE(option_value(words, required), "") << required << " missing from the default command line";
  }

  // Everything the unit may write is read-only except ReadWritePaths=; the
  // default storage root and the run log directory must be among them.
  std::set<std::string> writable;
  for (const std::string& value : unit_values(unit, "ReadWritePaths")) {
    std::istringstream in(value);
    for (std::string p; in >> p;) writable.insert(p[0] == '-' ? p.substr(1) : p);
  }
  EXPECT_TRUE(writable.count(option_value(words, "--storage"))) << "storage root not writable for the unit";
  EXPECT_TRUE(writable.count("/var/log/orv")) << "run log directory not writable for the unit";

  // The stop time-out must leave room for the default drain time of the
  // program (300 s unless the help text says otherwise).
  unsigned drain = 300;
  std::string help = help_text();
  const std::string drain_text = "--drain-timeout seconds (default ";
  size_t d = help.find(drain_text);
  if (d != std::string::npos) drain = static_cast<unsigned>(atoi(help.c_str() + d + drain_text.size()));
  std::vector<std::string> stop = unit_values(unit, "TimeoutStopSec");
  ASSERT_EQ(stop.size(), 1u);
  EXPECT_GT(static_cast<unsigned>(atoi(stop[0].c_str())), drain);
}

// The prune and verify units: clean for systemd-analyze (with the build's
// orv_admin and its manual page), hardened, and able to reach what they
// work on.
TEST(AdminUnits, VerifyWithoutAnyMessageAndAreHardened) {
  if (!have_tool("systemd-analyze")) GTEST_SKIP() << "systemd-analyze not installed (Debian package systemd)";
  if (!have_tool("man")) GTEST_SKIP() << "man not installed (Debian package man-db); Documentation= needs it";
  TempDir dir;
  std::error_code ec;
  fs::create_directories(dir.sub("man/man8"), ec);
  fs::copy_file(kSource + "/dist/orv_admin.8", dir.sub("man/man8/orv_admin.8"), ec);
  ASSERT_FALSE(ec) << ec.message();
  std::string paths;
  const std::string exec = "ExecStart=/usr/sbin/orv_admin ";
  std::string program = access(kAdminBin.c_str(), X_OK) == 0 ? kAdminBin : "/bin/true";
  for (const char* name : kAdminUnits) {
    std::string unit = read_file(kSource + "/dist/" + name);
    ASSERT_FALSE(unit.empty()) << name;
    bool service = std::string(name).find(".service") != std::string::npos;
    if (service) {
      size_t at = unit.find(exec);
      ASSERT_NE(at, std::string::npos) << name << " must start /usr/sbin/orv_admin";
      unit.replace(at, exec.size(), "ExecStart=" + program + " ");
      for (const char* setting : {"NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateNetwork=yes",
                                  "PrivateDevices=yes", "CapabilityBoundingSet=", "User=orvsvc",
                                  "SystemCallFilter=@system-service"}) {
        EXPECT_NE(unit.find("\n" + std::string(setting) + "\n"), std::string::npos) << name << ": " << setting;
      }
      EXPECT_TRUE(unit_values(unit, "WantedBy").empty()) << name << " is started by its timer only";
    } else {
      EXPECT_EQ(unit_values(unit, "WantedBy"), std::vector<std::string>{"timers.target"}) << name;
      EXPECT_EQ(unit_values(unit, "Persistent"), std::vector<std::string>{"true"}) << name;
    }
    ASSERT_TRUE(write_file(dir.sub(name), unit));
    paths += " " + q(dir.sub(name));
  }
  EXPECT_EQ(unit_values(read_file(kSource + "/dist/orv-prune.timer"), "OnCalendar"),
            std::vector<std::string>{"daily"});
  EXPECT_EQ(unit_values(read_file(kSource + "/dist/orv-verify.timer"), "OnCalendar"),
            std::vector<std::string>{"weekly"});
  // prune deletes below the default storage root, verify only reads it.
  std::set<std::string> writable;
  for (const std::string& value : unit_values(read_file(kSource + "/dist/orv-prune.service"), "ReadWritePaths")) {
    writable.insert(value[0] == '-' ? value.substr(1) : value);
  }
  EXPECT_TRUE(writable.count(option_value(default_options(), "--storage")));
  CommandResult r = run("MANPATH=" + q(dir.sub("man")) + " systemd-analyze verify" + paths);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.output, "") << "every warning of systemd-analyze counts as a fault";
}

TEST(ManualPage, OrvAdminRendersAndDocumentsItsHelpText) {
  if (!have_tool("man")) GTEST_SKIP() << "man not installed (Debian package man-db)";
  TempDir dir;
  std::string warnings;
  std::string page = render_man(kSource + "/dist/orv_admin.8", dir, &warnings);
  EXPECT_EQ(warnings, "");
  for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS", "EXIT STATUS", "FILES"}) {
    EXPECT_NE(page.find("\n" + std::string(section) + "\n"), std::string::npos) << "section " << section;
  }
  if (access(kAdminBin.c_str(), X_OK) != 0) GTEST_SKIP() << "orv_admin is not built";
  CommandResult help = run(q(kAdminBin) + " --help");
  ASSERT_EQ(help.exit_code, 0);
  size_t options = 0;
  for (size_t at = help.output.find("--"); at != std::string::npos; at = help.output.find("--", at + 2)) {
    size_t e = at + 2;
    while (e < help.output.size() && (islower(static_cast<unsigned char>(help.output[e])) || help.output[e] == '-')) ++e;
    std::string name = help.output.substr(at, e - at);
    if (name.size() <= 2) continue;
    ++options;
    EXPECT_TRUE(has_word(page, name)) << name << " not in orv_admin(8)";
  }
  EXPECT_GT(options, 8u);
  for (const char* command : {"list", "du", "verify", "prune"}) EXPECT_TRUE(has_word(page, command)) << command;
}

// ---- manual page -----------------------------------------------------------

TEST(ManualPage, RendersWithoutWarnings) {
  if (!have_tool("man")) GTEST_SKIP() << "man not installed (Debian package man-db)";
  TempDir dir;
  std::string warnings;
  std::string text = render_man(kSource + "/dist/orv_target.8", dir, &warnings);
  EXPECT_EQ(warnings, "");
  for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "SIGNALS", "EXIT STATUS", "ENVIRONMENT", "FILES"}) {
    EXPECT_NE(text.find("\n" + std::string(section) + "\n"), std::string::npos) << "section " << section;
  }
}

TEST(ManualPage, DocumentsEveryOptionAndSignalOfTheHelpText) {
  if (!have_tool("man")) GTEST_SKIP() << "man not installed (Debian package man-db)";
  std::string help = help_text();
  if (help.empty()) GTEST_SKIP() << "orv_target --help does not print the usage text yet";
  TempDir dir;
  std::string page = render_man(kSource + "/dist/orv_target.8", dir, nullptr);
  ASSERT_FALSE(page.empty());

  // Long options as the help text writes them; "--checkpoint-*" stands for a
  // family of options and only needs its prefix documented.
  std::set<std::string> options, prefixes, signals;
  for (size_t i = 0; i + 2 < help.size(); ++i) {
    bool boundary = i == 0 || !(isalnum(static_cast<unsigned char>(help[i - 1])) || help[i - 1] == '-');
    if (boundary && help.compare(i, 2, "--") == 0 && islower(static_cast<unsigned char>(help[i + 2]))) {
      size_t e = i + 2;
      while (e < help.size() && (islower(static_cast<unsigned char>(help[e])) || isdigit(static_cast<unsigned char>(help[e])) || help[e] == '-')) ++e;
      std::string name = help.substr(i, e - i);
      if (name.back() == '-' && e < help.size() && help[e] == '*') {
        prefixes.insert(name);
      } else {
        while (name.back() == '-') name.pop_back();
        options.insert(name);
      }
    }
    if (boundary && help.compare(i, 3, "SIG") == 0) {
      size_t e = i + 3;
      while (e < help.size() && isupper(static_cast<unsigned char>(help[e]))) ++e;
      signals.insert(help.substr(i, e - i));
    }
  }
  ASSERT_GT(options.size(), 20u) << "help text not understood:\n" << help;
  for (const std::string& option : options) EXPECT_TRUE(has_word(page, option)) << option << " not in the manual page";
  for (const std::string& prefix : prefixes) EXPECT_NE(page.find(prefix), std::string::npos) << prefix;
  for (const std::string& signal : signals) EXPECT_TRUE(has_word(page, signal)) << signal << " not in the manual page";
}

TEST(ManualPage, NamesTheVersionOfTheProgram) {
  std::string version = program_version();
  if (version.empty()) GTEST_SKIP() << "orv_target --version gives no version";
  std::string page = read_file(kSource + "/dist/orv_target.8");
  size_t th = page.find("\n.TH ");
  ASSERT_NE(th, std::string::npos);
  std::string header = page.substr(th + 1, page.find('\n', th + 1) - th - 1);
  EXPECT_NE(header.find("\"orv_target " + version + "\""), std::string::npos) << header;
}

// ---- Debian package ----------------------------------------------------------

// Builds the package of this build tree into `dir`; returns its path or an
// empty text, with the reason in `why`.
std::string build_package(const TempDir& dir, std::string* why) {
  CommandResult r = run("cpack --config " + q(kBinaryDir + "/CPackConfig.cmake") + " -B " + q(dir.sub("out")), 600);
  if (r.exit_code != 0) {
    *why = r.output;
    return "";
  }
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir.sub("out"), ec)) {
    if (entry.path().extension() == ".deb") return entry.path().string();
  }
  *why = "cpack made no .deb:\n" + r.output;
  return "";
}

// Package names in a Depends-style field, without versions or alternatives.
std::set<std::string> package_names(const std::string& field) {
  std::set<std::string> names;
  std::string current;
  for (char c : field + ",") {
    if (c == ',' || c == '|') {
      std::string name = trim(current.substr(0, current.find('(')));
      if (!name.empty()) names.insert(name);
      current.clear();
    } else {
      current += c;
    }
  }
  return names;
}

// The Debian package that ships a library found by the dynamic loader, trying
// the path with and without the /usr prefix (merged /usr).
std::string owner_of(const std::string& path) {
  std::vector<std::string> candidates{path};
  if (path.rfind("/usr/", 0) == 0) candidates.push_back(path.substr(4));
  else candidates.push_back("/usr" + path);
  std::error_code ec;
  fs::path real = fs::canonical(path, ec);
  if (!ec) candidates.push_back(real.string());
  for (const std::string& c : candidates) {
    CommandResult r = run("dpkg -S " + q(c));
    if (r.exit_code == 0) return r.output.substr(0, r.output.find_first_of(":,"));
  }
  return "";
}

bool packaging_tools_missing(std::string* why) {
  for (const char* tool : {"cpack", "dpkg-deb", "dpkg"}) {
    if (!have_tool(tool)) {
      *why = std::string(tool) + " not installed";
      return true;
    }
  }
  if (access(kTargetBin.c_str(), X_OK) != 0) {
    *why = "orv_target is not built in " + kBinaryDir;
    return true;
  }
  return false;
}

TEST(DebianPackage, ShipsTheRightFilesModesAndDependencies) {
  std::string why;
  if (packaging_tools_missing(&why)) GTEST_SKIP() << why;
  TempDir dir;
  std::string deb = build_package(dir, &why);
  ASSERT_FALSE(deb.empty()) << why;

  // Files, their modes and owners. The client is packaged when it is built.
  std::map<std::string, std::string> expected{
      {"./usr/sbin/orv_target", "-rwxr-xr-x"},
      {"./usr/lib/systemd/system/orv_target.service", "-rw-r--r--"},
      {"./etc/default/orv_target", "-rw-r--r--"},
      {"./etc/orv_target/acl.example", "-rw-r-----"},
      {"./usr/share/man/man8/orv_target.8.gz", "-rw-r--r--"},
      {"./usr/sbin/orv_admin", "-rwxr-xr-x"},
      {"./usr/share/man/man8/orv_admin.8.gz", "-rw-r--r--"},
      {"./usr/share/orv_target/prometheus/orv_target.rules.yml", "-rw-r--r--"},
      {"./usr/share/orv_target/grafana/orv_target.json", "-rw-r--r--"}};
  for (const char* unit : kAdminUnits) expected[std::string("./usr/lib/systemd/system/") + unit] = "-rw-r--r--";
  bool with_client = access((kBinaryDir + "/orv_client").c_str(), X_OK) == 0;
  if (with_client) expected["./usr/bin/orv_client"] = "-rwxr-xr-x";
  CommandResult contents = run("dpkg-deb --contents " + q(deb));
  ASSERT_EQ(contents.exit_code, 0) << contents.output;
  std::map<std::string, std::string> files;
  for (const std::string& line : lines_of(contents.output)) {
    std::istringstream in(line);
    std::string mode, owner, size, date, time, path;
    in >> mode >> owner >> size >> date >> time >> path;
    EXPECT_EQ(owner, "root/root") << line;
    if (mode[0] == 'd') EXPECT_EQ(mode, "drwxr-xr-x") << line;
    else files[path] = mode;
  }
  EXPECT_EQ(files, expected);

  // Control data: every file under /etc is a conffile, so that local edits
  // survive upgrades; the maintainer scripts are executable shell scripts.
  ASSERT_EQ(run("dpkg-deb -e " + q(deb) + " " + q(dir.sub("control"))).exit_code, 0);
  std::set<std::string> conffiles, under_etc;
  for (const std::string& line : lines_of(read_file(dir.sub("control/conffiles")))) conffiles.insert("." + trim(line));
  for (const auto& [path, mode] : files) {
    if (path.rfind("./etc/", 0) == 0) under_etc.insert(path);
  }
  EXPECT_EQ(conffiles, under_etc);
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    std::string path = dir.sub(std::string("control/") + script);
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << script << " missing";
    EXPECT_EQ(st.st_mode & 07777, 0755u) << script;
    CommandResult syntax = run("sh -n " + q(path));
    EXPECT_EQ(syntax.exit_code, 0) << script << ": " << syntax.output;
  }

  // Version: the program's own version, with "~" before the pre-release part.
  CommandResult version = run("dpkg-deb -f " + q(deb) + " Version");
  std::string program = program_version();
  if (!program.empty()) {
    std::string upstream = program;
    for (char& c : upstream) c = c == '-' ? '~' : c;
    EXPECT_EQ(trim(version.output), upstream + "-1");
  }

  // Dependencies: the named libraries and lvm2 as a recommendation, and a
  // package for every shared library the packaged programs load.
  std::set<std::string> depends = package_names(run("dpkg-deb -f " + q(deb) + " Depends").output);
  for (const char* lib : {"libssl3", "libzstd1", "liblz4-1", "liburing2", "libprometheus-cpp-pull1.0"}) {
    EXPECT_TRUE(depends.count(lib)) << lib;
  }
  EXPECT_EQ(package_names(run("dpkg-deb -f " + q(deb) + " Recommends").output), std::set<std::string>{"lvm2"});
  std::vector<std::string> programs{kTargetBin, kAdminBin};
  if (with_client) programs.push_back(kBinaryDir + "/orv_client");
  for (const std::string& program_path : programs) {
    CommandResult ldd = run("ldd " + q(program_path));
    ASSERT_EQ(ldd.exit_code, 0) << ldd.output;
    for (const std::string& line : lines_of(ldd.output)) {
      size_t arrow = line.find("=> /");
      if (arrow == std::string::npos) continue;  // vDSO, the loader itself
      std::string lib_path = line.substr(arrow + 3, line.find(' ', arrow + 3) - arrow - 3);
      std::string name = fs::path(lib_path).filename().string();
      // Sanitizer runtimes exist only in test builds.
      if (name.rfind("libasan", 0) == 0 || name.rfind("libubsan", 0) == 0) continue;
      std::string owner = owner_of(lib_path);
      EXPECT_FALSE(owner.empty()) << lib_path << " does not come from a Debian package";
      if (!owner.empty()) {
        EXPECT_TRUE(depends.count(owner)) << fs::path(program_path).filename() << " loads " << name << " from "
                                          << owner << ", which Depends does not name";
      }
    }
  }

  // The shipped unit is the verified one, and the manual page is the source.
  ASSERT_EQ(run("dpkg-deb -x " + q(deb) + " " + q(dir.sub("root"))).exit_code, 0);
  EXPECT_EQ(read_file(dir.sub("root/usr/lib/systemd/system/orv_target.service")),
            read_file(kSource + "/dist/orv_target.service"));
  EXPECT_EQ(run("gzip -dc " + q(dir.sub("root/usr/share/man/man8/orv_target.8.gz"))).output,
            read_file(kSource + "/dist/orv_target.8"));
  for (const char* unit : kAdminUnits) {
    EXPECT_EQ(read_file(dir.sub(std::string("root/usr/lib/systemd/system/") + unit)),
              read_file(kSource + "/dist/" + unit))
        << unit;
  }
  EXPECT_EQ(run("gzip -dc " + q(dir.sub("root/usr/share/man/man8/orv_admin.8.gz"))).output,
            read_file(kSource + "/dist/orv_admin.8"));
}

// Installs, reinstalls and purges the package in a separate root directory
// (dpkg --root with the maintainer scripts run outside a chroot, which gives
// them DPKG_ROOT), so that the machine itself is not touched.
TEST(DebianPackage, InstallsUpgradesAndPurgesInAnotherRoot) {
  std::string why;
  if (packaging_tools_missing(&why)) GTEST_SKIP() << why;
  if (geteuid() != 0) GTEST_SKIP() << "installing with dpkg needs root";
  if (run("useradd --help | grep -q -- --prefix").exit_code != 0) GTEST_SKIP() << "useradd has no --prefix option";
  TempDir dir;
  std::string deb = build_package(dir, &why);
  ASSERT_FALSE(deb.empty()) << why;

  // A root with the machine's user database minus the service user, and an
  // empty package database.
  const std::string root = dir.sub("root");
  std::error_code ec;
  for (const char* d : {"/etc", "/var/lib/dpkg/updates", "/var/lib/dpkg/info", "/var/log"}) {
    ASSERT_TRUE(fs::create_directories(root + d, ec)) << d << ": " << ec.message();
  }
  ASSERT_TRUE(write_file(root + "/var/lib/dpkg/status", ""));
  // Password hashes are not copied: every shadow entry gets "*".
  for (const char* db : {"passwd", "group", "shadow", "gshadow"}) {
    bool secret = std::string(db).find("shadow") != std::string::npos;
    std::string kept;
    for (std::string line : lines_of(read_file(std::string("/etc/") + db))) {
      if (line.rfind("orvsvc:", 0) == 0) continue;
      size_t first = line.find(':');
      size_t second = first == std::string::npos ? first : line.find(':', first + 1);
      if (secret && second != std::string::npos) line.replace(first + 1, second - first - 1, "*");
      kept += line + "\n";
    }
    ASSERT_TRUE(write_file(root + "/etc/" + db, kept));
    chmod((root + "/etc/" + db).c_str(), secret ? 0640 : 0644);
  }
  const std::string dpkg = "dpkg --root=" + q(root) + " --force-script-chrootless --force-depends --log=/dev/null ";
  auto entry = [&](const char* db) {
    for (const std::string& line : lines_of(read_file(root + "/etc/" + db))) {
      if (line.rfind("orvsvc:", 0) == 0) return line;
    }
    return std::string();
  };
  auto field = [](const std::string& line, int n) {
    std::istringstream in(line);
    std::string f;
    for (int i = 0; i <= n; ++i) std::getline(in, f, ':');
    return f;
  };
  auto owner_mode = [](const std::string& path, uid_t* uid, gid_t* gid) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) return -1;
    *uid = st.st_uid;
    *gid = st.st_gid;
    return static_cast<int>(st.st_mode & 07777);
  };

  CommandResult install = run(dpkg + "-i " + q(deb), 300);
  ASSERT_EQ(install.exit_code, 0) << install.output;
  EXPECT_NE(install.output.find("systemctl enable --now orv_target"), std::string::npos)
      << "a fresh installation must tell how to start the service:\n" << install.output;
  // The prune and verify timers are installed but off until enabled.
  EXPECT_TRUE(fs::exists(root + "/usr/lib/systemd/system/orv-prune.timer", ec));
  EXPECT_FALSE(fs::exists(root + "/etc/systemd/system/timers.target.wants", ec));

  // The service user: a system account without login, with its own group.
  std::string user = entry("passwd");
  ASSERT_NE(user, "") << "orvsvc not created";
  EXPECT_LT(atoi(field(user, 2).c_str()), 1000);
  EXPECT_EQ(field(user, 6), "/usr/sbin/nologin");
  std::string group = entry("group");
  ASSERT_NE(group, "");
  uid_t svc_uid = static_cast<uid_t>(atoi(field(user, 2).c_str()));
  gid_t svc_gid = static_cast<gid_t>(atoi(field(group, 2).c_str()));
  EXPECT_EQ(static_cast<gid_t>(atoi(field(user, 3).c_str())), svc_gid);

  // The worker writes the storage root and reads /etc/orv_target; the root
  // parent writes the run log.
  uid_t uid;
  gid_t gid;
  EXPECT_EQ(owner_mode(root + "/var/lib/orv_target", &uid, &gid), 0750);
  EXPECT_EQ(uid, svc_uid);
  EXPECT_EQ(owner_mode(root + "/etc/orv_target", &uid, &gid), 0750);
  EXPECT_EQ(uid, 0u);
  EXPECT_EQ(gid, svc_gid);
  EXPECT_EQ(owner_mode(root + "/etc/orv_target/acl.example", &uid, &gid), 0640);
  EXPECT_EQ(gid, svc_gid);
  EXPECT_EQ(owner_mode(root + "/var/log/orv", &uid, &gid), 02750);
  EXPECT_EQ(uid, 0u);

  // Local changes, then the same package again (the upgrade path): nothing
  // the administrator set is undone, and the user is not created twice.
  chmod((root + "/var/lib/orv_target").c_str(), 0700);
  chmod((root + "/etc/orv_target").c_str(), 0755);
  ASSERT_TRUE(write_file(root + "/etc/orv_target/acl", "key msd*\n"));
  ASSERT_TRUE(write_file(root + "/etc/default/orv_target", "ORV_TARGET_OPTS=\"--storage /srv/b\"\n"));
  CommandResult again = run(dpkg + "-i " + q(deb), 300);
  ASSERT_EQ(again.exit_code, 0) << again.output;
  EXPECT_EQ(owner_mode(root + "/var/lib/orv_target", &uid, &gid), 0700);
  EXPECT_EQ(owner_mode(root + "/etc/orv_target", &uid, &gid), 0755);
  EXPECT_EQ(read_file(root + "/etc/default/orv_target"), "ORV_TARGET_OPTS=\"--storage /srv/b\"\n");
  size_t users = 0;
  for (const std::string& line : lines_of(read_file(root + "/etc/passwd"))) users += line.rfind("orvsvc:", 0) == 0;
  EXPECT_EQ(users, 1u);

  // Purge: the package's files and the run log go; the backups, the
  // administrator's ACL and the service user stay.
  CommandResult purge = run(dpkg + "--purge orv-target", 300);
  ASSERT_EQ(purge.exit_code, 0) << purge.output;
  EXPECT_FALSE(fs::exists(root + "/usr/sbin/orv_target", ec));
  EXPECT_FALSE(fs::exists(root + "/etc/default/orv_target", ec));
  EXPECT_FALSE(fs::exists(root + "/var/log/orv", ec));
  EXPECT_TRUE(fs::exists(root + "/var/lib/orv_target", ec));
  EXPECT_TRUE(fs::exists(root + "/etc/orv_target/acl", ec));
  EXPECT_NE(entry("passwd"), "");
}

}  // namespace
