// The monitoring files shipped in dist/: the Prometheus alert rules pass
// promtool's check and its rule tests (one test per alert), the Grafana
// dashboard is valid JSON with a stable uid and a data source variable, and
// both use only metric names the endpoint exports.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <string>

#include "server/metrics_exporter.h"
#include "support/server_process.h"

namespace {

using orv_support::read_text;
using orv_support::run_tool;
using orv_support::TempDir;

const std::string kSource = ORV_SOURCE_DIR;
const std::string kRules = kSource + "/dist/prometheus/orv_target.rules.yml";
const std::string kRuleTests = kSource + "/tests/packaging/orv_target_rules_test.yml";
const std::string kDashboard = kSource + "/dist/grafana/orv_target.json";

bool have_promtool() { return run_tool({"promtool", "--version"}, 30000) == 0; }

// A strict JSON syntax check (RFC 8259): true when text is one JSON value.
class JsonChecker {
 public:
  explicit JsonChecker(const std::string& text) : s_(text) {}
  bool valid() {
    skip();
    if (!value(0)) return false;
    skip();
    return i_ == s_.size();
  }

 private:
  void skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool literal(const char* word) {
    size_t n = strlen(word);
    if (s_.compare(i_, n, word) != 0) return false;
    i_ += n;
    return true;
  }
  bool string() {
    if (i_ >= s_.size() || s_[i_] != '"') return false;
    for (++i_; i_ < s_.size(); ++i_) {
      unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (++i_ >= s_.size()) return false;
        if (s_[i_] == 'u') {
          for (int k = 0; k < 4; ++k) {
            if (++i_ >= s_.size() || isxdigit(static_cast<unsigned char>(s_[i_])) == 0) return false;
          }
        } else if (strchr("\"\\/bfnrt", s_[i_]) == nullptr) {
          return false;
        }
      }
    }
    return false;
  }
  bool number() {
    size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    if (i_ >= s_.size() || isdigit(static_cast<unsigned char>(s_[i_])) == 0) return false;
    if (s_[i_] == '0') {
      ++i_;
    } else {
      while (i_ < s_.size() && isdigit(static_cast<unsigned char>(s_[i_])) != 0) ++i_;
    }
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      if (i_ >= s_.size() || isdigit(static_cast<unsigned char>(s_[i_])) == 0) return false;
      while (i_ < s_.size() && isdigit(static_cast<unsigned char>(s_[i_])) != 0) ++i_;
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (i_ >= s_.size() || isdigit(static_cast<unsigned char>(s_[i_])) == 0) return false;
      while (i_ < s_.size() && isdigit(static_cast<unsigned char>(s_[i_])) != 0) ++i_;
    }
    return i_ > start;
  }
  bool value(int depth) {
    if (depth > 64 || i_ >= s_.size()) return false;
    char c = s_[i_];
    if (c == '"') return string();
    if (c == 't') return literal("true");
    if (c == 'f') return literal("false");
    if (c == 'n') return literal("null");
    if (c == '{' || c == '[') {
      char close = c == '{' ? '}' : ']';
      ++i_;
      skip();
      if (i_ < s_.size() && s_[i_] == close) {
        ++i_;
        return true;
      }
      for (;;) {
        if (c == '{') {
          if (!string()) return false;
          skip();
          if (i_ >= s_.size() || s_[i_] != ':') return false;
          ++i_;
          skip();
        }
        if (!value(depth + 1)) return false;
        skip();
        if (i_ < s_.size() && s_[i_] == ',') {
          ++i_;
          skip();
          continue;
        }
        if (i_ < s_.size() && s_[i_] == close) {
          ++i_;
          return true;
        }
        return false;
      }
    }
    return number();
  }

  const std::string& s_;
  size_t i_ = 0;
};

// Metric names in the endpoint's exposition, with the series names of
// histograms (_bucket, _sum, _count).
std::set<std::string> exported_names() {
  TempDir dir;
  dir.make_dir("subdir");
  orv::MetricsSettings settings;
  settings.storage_root = dir.path().c_str();
  settings.per_subdir = true;
  char* text = nullptr;
  uint64_t length = 0;
  std::set<std::string> names;
  if (!orv::metrics_exporter_render(settings, &text, &length)) return names;
  std::string exposition(text, length);
  free(text);
  std::regex type_line("# TYPE ([a-z_]+) ([a-z]+)");
  for (std::sregex_iterator it(exposition.begin(), exposition.end(), type_line), end; it != end; ++it) {
    std::string name = (*it)[1];
    names.insert(name);
    if ((*it)[2] == "histogram") {
      for (const char* suffix : {"_bucket", "_sum", "_count"}) names.insert(name + suffix);
    }
  }
  return names;
}

std::set<std::string> used_names(const std::string& text) {
  std::set<std::string> names;
  std::regex metric("\\b((?:orv|process)_[a-z_]+)");
  for (std::sregex_iterator it(text.begin(), text.end(), metric), end; it != end; ++it) names.insert((*it)[1]);
  names.erase("orv_target");  // the job and program name, not a metric
  return names;
}

TEST(AlertRules, PassPromtoolWithATestForEveryAlert) {
  if (!have_promtool()) GTEST_SKIP() << "promtool not installed (Debian package prometheus)";
  std::string out;
  EXPECT_EQ(run_tool({"promtool", "check", "rules", kRules}, 60000, &out), 0) << out;
  EXPECT_NE(out.find("SUCCESS: 7 rules found"), std::string::npos) << out;
  EXPECT_EQ(run_tool({"promtool", "test", "rules", kRuleTests}, 120000, &out), 0) << out;

  std::string rules = read_text(kRules);
  std::string tests = read_text(kRuleTests);
  std::regex alert("- alert: ([A-Za-z]+)");
  std::set<std::string> alerts;
  for (std::sregex_iterator it(rules.begin(), rules.end(), alert), end; it != end; ++it) alerts.insert((*it)[1]);
  EXPECT_EQ(alerts.size(), 7u);
  for (const std::string& name : alerts) {
    // Each alert is tested not firing and firing.
    EXPECT_GE(orv_support::count_of(tests, "alertname: " + name + "\n"), 2u) << name;
  }
}

TEST(GrafanaDashboard, IsValidJsonWithAStableUidAndADataSourceVariable) {
  std::string json = read_text(kDashboard);
  ASSERT_FALSE(json.empty());
  EXPECT_TRUE(JsonChecker(json).valid());
  EXPECT_NE(json.find("\"uid\": \"orv-target-overview\""), std::string::npos);
  EXPECT_NE(json.find("\"name\": \"datasource\""), std::string::npos);
  EXPECT_NE(json.find("\"type\": \"datasource\""), std::string::npos);
  // Every panel and query reads from the chosen data source.
  EXPECT_EQ(orv_support::count_of(json, "\"datasource\": {"),
            orv_support::count_of(json, "\"uid\": \"${datasource}\""));
  for (const char* title : {"Bytes received and served", "Backups by outcome", "Storage file system",
                            "Checkpoint duration", "Connections"}) {
    EXPECT_NE(json.find(std::string("\"title\": \"") + title + "\""), std::string::npos) << title;
  }
  EXPECT_FALSE(JsonChecker(json.substr(0, json.size() / 2)).valid());
}

TEST(Monitoring, RulesAndDashboardUseOnlyExportedMetrics) {
  std::set<std::string> exported = exported_names();
  ASSERT_GT(exported.size(), 30u);
  for (const std::string& file : {kRules, kDashboard}) {
    std::set<std::string> used = used_names(read_text(file));
    EXPECT_FALSE(used.empty()) << file;
    for (const std::string& name : used) EXPECT_TRUE(exported.count(name)) << name << " in " << file;
  }
}

}  // namespace
