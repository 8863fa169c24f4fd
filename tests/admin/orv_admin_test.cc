// The orv_admin program on real storage trees: the JSON documents scripts
// rely on (checked with Python's JSON parser), damaged backups found by
// verify and skipped by prune, media errors named by verify --data, exit
// statuses, and the metrics file checked with promtool.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "admin/admin_test_util.h"
#include "support/server_process.h"

namespace orv {
namespace {

using admin_test::BackupSpec;
using admin_test::exists;
using admin_test::image_of;
using admin_test::uuid_string;
using admin_test::write_backup;
using admin_test::write_partial;

constexpr int64_t kT0 = 1700000000;
constexpr int64_t kDay = 86400;
constexpr int kRunMs = 60000;

struct ToolRun {
  int code = -1;
  std::string out;
};

// Runs a shell command line; standard error is dropped unless asked for.
ToolRun shell(const std::string& command) {
  ToolRun r;
  r.code = orv_support::run_tool({"sh", "-c", command}, kRunMs, &r.out);
  return r;
}

bool have(const char* tool) {
  if (std::string(tool) == "python3" && access("/usr/bin/python3", X_OK) == 0) return true;
  return shell(std::string("command -v ") + tool + " >/dev/null").code == 0;
}

class OrvAdminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path().empty());
    root = tmp.path() + "/storage";
    dir = root + "/site/host1";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/site").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  }

  std::string admin(const std::string& args) const {
    return std::string(ORV_ADMIN_BIN) + " " + args + " --storage " + root;
  }

  // Runs orv_admin with --json and evaluates Python expressions over the
  // parsed document `d`, one printed result per expression. The exit
  // status of orv_admin goes to *code.
  std::vector<std::string> json(const std::string& args, const std::vector<std::string>& exprs, int* code = nullptr) {
    std::string out_file = tmp.file("json.out");
    std::string script = tmp.file("eval.py");
    ToolRun r = shell(admin(args + " --json") + " >" + out_file + " 2>/dev/null");
    if (code != nullptr) *code = r.code;
    std::string text = "import json, sys\nd = json.load(open(sys.argv[1]))\n";
    for (const std::string& e : exprs) text += "print(" + e + ")\n";
    EXPECT_TRUE(orv_support::write_text(script, text));
    ToolRun py = shell(python() + " " + script + " " + out_file);
    EXPECT_EQ(py.code, 0) << "not one JSON document:\n" << orv_support::read_text(out_file) << py.out;
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < py.out.size()) {
      size_t nl = py.out.find('\n', at);
      if (nl == std::string::npos) nl = py.out.size();
      lines.push_back(py.out.substr(at, nl - at));
      at = nl + 1;
    }
    lines.resize(exprs.size());
    return lines;
  }

  static std::string python() { return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"; }

  std::string add(const std::string& name, uint8_t type, uint32_t id, uint32_t parent, int64_t day, int64_t life) {
    BackupSpec s;
    s.name = name;
    s.type = type;
    s.uuid = id;
    s.parent = parent;
    s.created = kT0 + day * kDay;
    s.expires = life == 0 ? 0 : s.created + life * kDay;
    std::string path = write_backup(dir, s);
    EXPECT_NE(path, "");
    return path;
  }

  test::TempDir tmp;
  std::string root;
  std::string dir;
};

TEST_F(OrvAdminTest, ListAndDuGiveTheDocumentedKeys) {
  if (!have("python3")) GTEST_SKIP() << "python3 is needed to parse the JSON output";
  std::string full = add("db", BACKUP_FULL, 1, 0, 0, 7);
  add("db", BACKUP_INC, 2, 1, 1, 0);
  BackupSpec p;
  p.name = "db";
  p.type = BACKUP_INC;
  p.uuid = 3;
  p.parent = 2;
  p.created = kT0 + 2 * kDay;
  ASSERT_NE(write_partial(dir, p), "");

  int code = -1;
  std::vector<std::string> got = json(
      "list",
      {"(len(d['backups']), len(d['partials']))",
       "sorted(d['backups'][0].keys())",
       "[(b['subdir'], b['name'], b['type'], b['uuid'], b['parent_uuid'], b['created'], b['expires'], "
       "b['image_bytes']) for b in d['backups'] if b['type'] == 'full']",
       "[b['parent_uuid'] for b in d['backups'] if b['type'] == 'inc']",
       "[(x['subdir'], x['name'], x['uuid'], x['checkpoint_bytes'], x['age_seconds'] >= 0) for x in d['partials']]",
       "[(s['subdir'], s['backups']) for s in d['subdirs']]"},
      &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(got[0], "(2, 1)");
  EXPECT_EQ(got[1],
            "['catalog_bytes', 'created', 'expires', 'file', 'image_bytes', 'name', 'parent_uuid', 'readable', "
            "'subdir', 'type', 'uuid']");
  EXPECT_EQ(got[2], "[('site/host1', 'db', 'full', '" + uuid_string(1) + "', '', " + std::to_string(kT0) + ", " +
                        std::to_string(kT0 + 7 * kDay) + ", 16384)]");
  EXPECT_EQ(got[3], "['" + uuid_string(1) + "']");
  EXPECT_EQ(got[4], "[('site/host1', 'db', '" + uuid_string(3) + "', 0, True)]");
  EXPECT_EQ(got[5], "[('site/host1', 2)]");
  EXPECT_EQ(json("list --subdir 'other*'", {"len(d['backups'])"})[0], "0");

  // du: the expired FULL is needed by the INC, so a prune frees nothing.
  EXPECT_EQ(json("du", {"(d['subdirs'][0]['subdir'], d['subdirs'][0]['backups'], d['prunable_bytes'], "
                        "[n['name'] for n in d['subdirs'][0]['names']])"})[0],
            "('site/host1', 2, 0, ['db'])");
  ToolRun text = shell(admin("du"));
  EXPECT_EQ(text.code, 0) << text.out;
  EXPECT_NE(text.out.find("site/host1"), std::string::npos) << text.out;
}

TEST_F(OrvAdminTest, VerifyNamesEveryKindOfDamageAndChangesNothing) {
  if (!have("python3")) GTEST_SKIP() << "python3 is needed to parse the JSON output";
  std::string good = add("good", BACKUP_FULL, 1, 0, 0, 0);
  add("good", BACKUP_INC, 2, 1, 1, 0);
  std::string orphaned = add("lost", BACKUP_INC, 3, 99, 1, 0);   // parent not there
  std::string loop_a = add("loop", BACKUP_INC, 4, 5, 1, 0);
  add("loop", BACKUP_INC, 5, 4, 2, 0);
  std::string no_image = add("noimg", BACKUP_FULL, 6, 0, 0, 0);
  ASSERT_EQ(unlink(image_of(no_image).c_str()), 0);
  std::string short_image = add("short", BACKUP_FULL, 7, 0, 0, 0);
  ASSERT_EQ(truncate(image_of(short_image).c_str(), 100), 0);
  std::string flipped = add("flip", BACKUP_FULL, 8, 0, 0, 0);
  {
    std::vector<uint8_t> bytes = test::read_all(flipped);
    bytes[BACKUP_HEADER_SIZE + 3] ^= 1;  // inside the entry table
    ASSERT_TRUE(test::write_all(flipped, bytes));
  }
  ASSERT_TRUE(test::write_all(dir + "/junk-202601010000.infb", "garbage", 7));
  ASSERT_EQ(symlink("/etc/hostname", (dir + "/ln-202601010000.indb").c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/pipe-202601010000.csib").c_str(), 0600), 0);

  int code = -1;
  std::vector<std::string> got = json(
      "verify",
      {"'|'.join(sorted(b['catalog'].rsplit('/', 1)[1].split('-')[0] + ':' + ';'.join(b['problems']) "
       "for b in d['backups'] if not b['ok']))",
       "(d['checked'], sorted(p['file'] for p in d['problems']))",
       "sorted(d['backups'][0].keys())"},
      &code);
  EXPECT_EQ(code, 1);
  const std::string& problems = got[0];
  EXPECT_NE(problems.find("flip:entry table does not match its SHA-256"), std::string::npos) << problems;
  EXPECT_NE(problems.find("junk:corrupt or incomplete header (status=-7)"), std::string::npos) << problems;
  EXPECT_NE(problems.find("lost:chain incomplete: no backup with uuid " + uuid_string(99)), std::string::npos)
      << problems;
  EXPECT_NE(problems.find("loop:chain incomplete: its parent links form a loop"), std::string::npos) << problems;
  EXPECT_NE(problems.find("noimg:image file " + image_of(no_image) + " is missing"), std::string::npos) << problems;
  EXPECT_NE(problems.find("short:image holds 100 bytes, the header says 16384"), std::string::npos) << problems;
  EXPECT_EQ(problems.find("good"), std::string::npos) << problems;
  EXPECT_EQ(got[1], "(9, ['ln-202601010000.indb', 'pipe-202601010000.csib'])");
  EXPECT_EQ(got[2], "['catalog', 'name', 'ok', 'problems', 'subdir', 'uuid']");
  EXPECT_TRUE(exists(image_of(short_image)));

  // Only the good chain: clean.
  ASSERT_EQ(mkdir((root + "/clean").c_str(), 0755), 0);
  BackupSpec s;
  s.uuid = 40;
  ASSERT_NE(write_backup(root + "/clean", s), "");
  ToolRun r = shell(admin("verify --data --rate 100 --subdir clean"));
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("verify: 1 backups checked, 0 damaged, 0 other problems, image bytes read: 16.0 KiB"),
            std::string::npos)
      << r.out;
  // list reports what a walk can see, and fails too.
  r = shell(admin("list"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("problem: site/host1/pipe-202601010000.csib: a named pipe, not a regular file"),
            std::string::npos)
      << r.out;
}

TEST_F(OrvAdminTest, PruneDryRunPreviewsAndPruneDeletes) {
  if (!have("python3")) GTEST_SKIP() << "python3 is needed to parse the JSON output";
  std::string f1 = add("db", BACKUP_FULL, 1, 0, 0, 1);
  std::string f2 = add("db", BACKUP_FULL, 2, 0, 1, 1);
  std::string as_of = std::to_string(kT0 + 30 * kDay);
  int code = -1;
  EXPECT_EQ(json("prune --dry-run --as-of " + as_of,
                 {"([(x['subdir'], x['uuid'], x['catalog']) for x in d['deleted']], "
                  "[(x['uuid'], x['reason']) for x in d['kept_expired']], d['freed_bytes'] > 0)"},
                 &code)[0],
            "([('site/host1', '" + uuid_string(1) + "', '" + f1 + "')], [('" + uuid_string(2) +
                "', 'newest backup of its name and type in its directory')], True)");
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(exists(f1));
  ToolRun r = shell(admin("prune --as-of " + as_of));
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("deleted site/host1/" + f1.substr(dir.size() + 1)), std::string::npos) << r.out;
  EXPECT_FALSE(exists(f1));
  EXPECT_TRUE(exists(f2));
}

TEST_F(OrvAdminTest, ExitStatusesForUsageAndMissingRoot) {
  ToolRun r = shell(std::string(ORV_ADMIN_BIN) + " verify --storage " + root + "/nope");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("cannot open the storage root " + root + "/nope"), std::string::npos) << r.out;
  r = shell(std::string(ORV_ADMIN_BIN) + " prune --data");
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_NE(r.out.find("option --data is not valid here"), std::string::npos) << r.out;
  r = shell(std::string(ORV_ADMIN_BIN) + " frobnicate");
  EXPECT_EQ(r.code, 2);
  r = shell(std::string(ORV_ADMIN_BIN) + " verify --rate fast");
  EXPECT_EQ(r.code, 2);
  r = shell(std::string(ORV_ADMIN_BIN) + " --help");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("usage: orv_admin"), std::string::npos);
  r = shell(admin("list"));
  EXPECT_EQ(r.code, 0) << r.out;
}

TEST_F(OrvAdminTest, MetricsFilePassesPromtool) {
  add("db", BACKUP_FULL, 1, 0, 0, 1);
  add("db", BACKUP_FULL, 2, 0, 1, 1);
  std::string metrics_dir = tmp.file("metrics");
  ASSERT_EQ(mkdir(metrics_dir.c_str(), 0755), 0);
  ToolRun r = shell(admin("verify --metrics-file " + metrics_dir + "/verify.prom"));
  EXPECT_EQ(r.code, 0) << r.out;
  r = shell(admin("prune --as-of " + std::to_string(kT0 + 30 * kDay) + " --metrics-file " + metrics_dir +
                  "/prune.prom"));
  EXPECT_EQ(r.code, 0) << r.out;
  std::string verify = orv_support::read_text(metrics_dir + "/verify.prom");
  std::string prune = orv_support::read_text(metrics_dir + "/prune.prom");
  EXPECT_NE(verify.find("orv_admin_verify_backups_checked{command=\"verify\"} 2\n"), std::string::npos) << verify;
  EXPECT_NE(verify.find("orv_admin_verify_problems{command=\"verify\"} 0\n"), std::string::npos) << verify;
  EXPECT_NE(verify.find("# TYPE orv_admin_last_run_timestamp_seconds gauge\n"), std::string::npos) << verify;
  EXPECT_NE(prune.find("orv_admin_prune_deleted_backups{command=\"prune\"} 1\n"), std::string::npos) << prune;
  EXPECT_NE(prune.find("orv_admin_prune_freed_bytes{command=\"prune\"} "), std::string::npos) << prune;
  EXPECT_FALSE(exists(metrics_dir + "/verify.prom.tmp"));
  if (!have("promtool")) GTEST_SKIP() << "promtool not installed (Debian package prometheus)";
  for (const char* f : {"/verify.prom", "/prune.prom"}) {
    ToolRun check = shell("promtool check metrics < " + metrics_dir + f);
    EXPECT_EQ(check.code, 0) << f << ": " << check.out;
    EXPECT_EQ(check.out, "") << f << ": every promtool remark counts";
  }
  // A metrics file that cannot be written is a failure of the run.
  r = shell(admin("verify --metrics-file " + root + "/no/such/dir/v.prom"));
  EXPECT_EQ(r.code, 1) << r.out;
}

}  // namespace
}  // namespace orv
