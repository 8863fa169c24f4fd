#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/status.h"

namespace orv {
namespace {

// Owns an argv built from words; argv[0] is the program name.
struct Args {
  Args(std::initializer_list<std::string> words) : storage(words) {
    ptrs.push_back("orv_target");
    for (const std::string& w : storage) ptrs.push_back(w.c_str());
  }
  Args(const Args&) = delete;  // ptrs point into storage
  int argc() const { return static_cast<int>(ptrs.size()); }
  const char* const* argv() const { return ptrs.data(); }
  std::vector<std::string> storage;
  std::vector<const char*> ptrs;
};

const char* value(const Args& a, const char* name) { return opt_value(a.argc(), a.argv(), name, nullptr, "DEF"); }

TEST(OptValue, FormsPrecedenceAndNonMatches) {
  EXPECT_STREQ(value(Args{"--storage", "/srv/b"}, "--storage"), "/srv/b");
  EXPECT_STREQ(value(Args{"--storage=/srv/b"}, "--storage"), "/srv/b");
  EXPECT_STREQ(value(Args{"--storage=/a", "--storage", "/b"}, "--storage"), "/a");  // leftmost wins
  EXPECT_STREQ(value(Args{"--storage", "/a", "--storage=/b"}, "--storage"), "/a");
  EXPECT_STREQ(value(Args{"--storage="}, "--storage"), "");  // empty, not absent
  EXPECT_STREQ(value(Args{"--out=a=b"}, "--out"), "a=b");
  // The next argument is taken whatever it holds; none left gives the default.
  EXPECT_STREQ(value(Args{"--port", "--bind"}, "--port"), "--bind");
  EXPECT_STREQ(value(Args{"--bind", "x", "--port"}, "--port"), "DEF");
  EXPECT_STREQ(opt_value(1, Args{}.argv(), "--port", nullptr, "DEF"), "DEF");
  // A long name that is only a prefix of the argument does not match.
  EXPECT_STREQ(value(Args{"--log-path", "/x", "--log-path=/y"}, "--log"), "DEF");
  EXPECT_STREQ(value(Args{"--log-path=/x", "--log", "3"}, "--log"), "3");
  // Lookups go past "--".
  EXPECT_STREQ(value(Args{"--", "--port", "5"}, "--port"), "5");
  // An alias matches only exactly.
  Args a{"-o=x", "-o", "file"};
  EXPECT_STREQ(opt_value(a.argc(), a.argv(), "--out", "-o", nullptr), "file");
}

TEST(OptFlag, ExactMatchOnly) {
  Args a{"--io-uring=1", "--io-uringx", "--", "-h"};
  EXPECT_EQ(opt_flag(a.argc(), a.argv(), "--io-uring", nullptr), 0);
  EXPECT_EQ(opt_flag(a.argc(), a.argv(), "--help", "-h"), 1);
  EXPECT_EQ(opt_flag(a.argc(), a.argv(), "--help", nullptr), 0);
}

// Runs opt_check over known_options; returns its warnings (log prefix cut).
std::vector<std::string> warnings_of(const Args& a, int max_positional = 0) {
  testing::internal::CaptureStderr();
  int n = opt_check(a.argc(), a.argv(), known_options, max_positional);
  std::string err = testing::internal::GetCapturedStderr();
  std::vector<std::string> lines;
  for (size_t pos = 0, nl; (nl = err.find('\n', pos)) != std::string::npos; pos = nl + 1) {
    std::string line = err.substr(pos, nl - pos);
    size_t tag = line.find(" WARN  ");
    lines.push_back(tag == std::string::npos ? "NOT A WARNING: " + line : line.substr(tag + 7));
  }
  EXPECT_EQ(n, static_cast<int>(lines.size()));
  return lines;
}

using Lines = std::vector<std::string>;

TEST(OptCheck, KnownOptionsAreSilent) {
  EXPECT_EQ(warnings_of(Args{"--storage", "/s", "--port=9", "--io-uring", "--help", "-h", "--version",
                             "--selftest", "--priv-debug", "lv_query", "--collect-diag", "--bind", "-x"}),
            Lines{});
  // A value option at the very end ends the walk silently.
  EXPECT_EQ(warnings_of(Args{"--port"}), Lines{});
}

TEST(OptCheck, UnknownOptions) {
  EXPECT_EQ(warnings_of(Args{"--io-uring=1"}), Lines{"unknown option '--io-uring=...' ignored"});
  EXPECT_EQ(warnings_of(Args{"--help=yes"}), Lines{"unknown option '--help=...' ignored"});
  EXPECT_EQ(warnings_of(Args{"--colour", "red"}),
            Lines{"unknown option '--colour' ignored (with the value after it)"});
  EXPECT_EQ(warnings_of(Args{"--colour", "--port", "1"}), Lines{"unknown option '--colour' ignored"});
  EXPECT_EQ(warnings_of(Args{"--colour"}), Lines{"unknown option '--colour' ignored"});
  // "-q" does not consume "-", which is then a positional argument.
  EXPECT_EQ(warnings_of(Args{"-x=1", "-q", "-"}),
            (Lines{"unknown option '-x=...' ignored", "unknown option '-q' ignored",
                   "unexpected argument '-' ignored"}));
}

TEST(OptCheck, PositionalArgumentsAndDoubleDash) {
  EXPECT_EQ(warnings_of(Args{"foo", "bar"}),
            (Lines{"unexpected argument 'foo' ignored", "unexpected argument 'bar' ignored"}));
  EXPECT_EQ(warnings_of(Args{"foo", "bar"}, 1), Lines{"unexpected argument 'bar' ignored"});
  EXPECT_EQ(warnings_of(Args{"--port=1", "stray"}), Lines{"unexpected argument 'stray' ignored"});
  EXPECT_EQ(warnings_of(Args{"--", "foo", "--colour", "x"}), Lines{});
  // A "--" that is an option's value is consumed with it.
  EXPECT_EQ(warnings_of(Args{"--out", "--", "foo"}), Lines{"unexpected argument 'foo' ignored"});
}

TEST(ServerConfigFromArgs, DefaultsAndRequiredOptions) {
  Args a{"--storage", "/srv", "--tls-cert", "c.pem", "--tls-key", "k.pem", "--acl-file", "acl", "--port"};
  ServerConfig c;
  ASSERT_EQ(server_config_from_args(a.argc(), a.argv(), &c), STATUS_OK);
  EXPECT_STREQ(c.bind_address, "0.0.0.0");
  EXPECT_EQ(c.port, 9990);
  EXPECT_STREQ(c.storage_root, "/srv");
  EXPECT_STREQ(c.tls_cert_path, "c.pem");
  EXPECT_STREQ(c.tls_key_path, "k.pem");
  EXPECT_STREQ(c.acl_file_path, "acl");
  EXPECT_EQ(c.listen_backlog, 16u);
  EXPECT_FALSE(c.use_io_uring);
  EXPECT_EQ(c.drain_timeout_sec + c.checkpoint_mib + c.checkpoint_sec + c.partial_max_age_days, 0u);
  EXPECT_EQ(c.diag_dir, nullptr);
  EXPECT_FALSE(c.diag_off);
  EXPECT_EQ(server_config_checkpoint_bytes(c), 0u);
  EXPECT_EQ(server_config_partial_max_age_sec(c), 604800);

  Args missing{"--storage", "/s", "--tls-cert", "c", "--acl-file", "a", "--tls-key"};
  EXPECT_EQ(server_config_from_args(missing.argc(), missing.argv(), &c), STATUS_INVALID);
  Args empty{"--storage=", "--tls-cert=", "--tls-key=", "--acl-file="};
  EXPECT_EQ(server_config_from_args(empty.argc(), empty.argv(), &c), STATUS_OK);
}

TEST(ServerConfigFromArgs, NumbersAreReadLikeStrtoul) {
  Args a{"--storage=s", "--tls-cert=c", "--tls-key=k", "--acl-file=a", "--port", "70000",
         "--drain-timeout", "12s", "--checkpoint-sec", "abc", "--partial-max-age", " 2",
         "--io-uring=1", "--diag-dir", "/d", "--no-diag"};
  ServerConfig c;
  ASSERT_EQ(server_config_from_args(a.argc(), a.argv(), &c), STATUS_OK);
  EXPECT_EQ(c.port, 70000 & 0xFFFF);
  EXPECT_EQ(c.drain_timeout_sec, 12u);
  EXPECT_EQ(c.checkpoint_sec, 0u);
  EXPECT_EQ(server_config_partial_max_age_sec(c), 2 * 86400);
  EXPECT_FALSE(c.use_io_uring);  // only the bare flag selects it
  EXPECT_STREQ(c.diag_dir, "/d");
  EXPECT_TRUE(c.diag_off);

  Args b{"--storage=s", "--tls-cert=c", "--tls-key=k", "--acl-file=a", "--port=-1", "--drain-timeout=-1",
         "--partial-max-age=4294967295", "--io-uring"};
  ASSERT_EQ(server_config_from_args(b.argc(), b.argv(), &c), STATUS_OK);
  EXPECT_EQ(c.port, 65535);  // a leading minus wraps around
  EXPECT_EQ(c.drain_timeout_sec, 0xFFFFFFFFu);
  EXPECT_EQ(server_config_partial_max_age_sec(c), int64_t{4294967295} * 86400);  // 64-bit product
  EXPECT_TRUE(c.use_io_uring);
}

TEST(ServerConfigFromArgs, CheckpointMibIsCappedAt256) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"1", 1}, {"256", 256}, {"257", 256}, {"1000", 256}, {"-1", 256}, {"4294967296", 256}};
  for (const auto& [text, mib] : cases) {
    Args a{"--storage=s", "--tls-cert=c", "--tls-key=k", "--acl-file=a", "--checkpoint-mib", text};
    ServerConfig c;
    ASSERT_EQ(server_config_from_args(a.argc(), a.argv(), &c), STATUS_OK);
    EXPECT_EQ(c.checkpoint_mib, mib) << text;
    EXPECT_EQ(server_config_checkpoint_bytes(c), uint64_t{mib} * 1048576u) << text;
  }
}

// The store's settings say what the options mean, with the store's
// defaults where an option is absent or 0.
TEST(ServerConfigFromArgs, StoreSettingsFollowTheOptions) {
  Args none{"--storage=s", "--tls-cert=c", "--tls-key=k", "--acl-file=a", "--checkpoint-mib=0"};
  ServerConfig c;
  ASSERT_EQ(server_config_from_args(none.argc(), none.argv(), &c), STATUS_OK);
  EXPECT_EQ(c.store.checkpoint_bytes, CHECKPOINT_BYTES_DEFAULT);
  EXPECT_EQ(c.store.checkpoint_seconds, CHECKPOINT_SECONDS_DEFAULT);
  EXPECT_EQ(c.store.partial_max_age, PARTIAL_MAX_AGE_DEFAULT);
  EXPECT_EQ(c.store.takeover_wait_ms, PARTIAL_TAKEOVER_WAIT_MS);
  EXPECT_EQ(c.store.min_free, 0u);
  EXPECT_EQ(c.store.locks, nullptr);  // made by the entry, from --max-connections
  EXPECT_EQ(c.store.budget, nullptr);

  Args given{"--storage=s", "--tls-cert=c", "--tls-key=k", "--acl-file=a", "--checkpoint-mib", "300",
             "--checkpoint-sec=7", "--partial-max-age", "2"};
  ASSERT_EQ(server_config_from_args(given.argc(), given.argv(), &c), STATUS_OK);
  EXPECT_EQ(c.store.checkpoint_bytes, uint64_t{256} << 20);
  EXPECT_EQ(c.store.checkpoint_seconds, 7u);
  EXPECT_EQ(c.store.partial_max_age, 2 * 86400);
}

TEST(ServerConfigFromArgs, MetricsOptions) {
  Args off{"--storage", "/s", "--tls-cert", "c", "--tls-key", "k", "--acl-file", "a"};
  ServerConfig c;
  ASSERT_EQ(server_config_from_args(off.argc(), off.argv(), &c), STATUS_OK);
  EXPECT_EQ(c.metrics_listen, nullptr);
  EXPECT_FALSE(c.metrics_per_subdir);
  Args on{"--storage", "/s", "--tls-cert", "c", "--tls-key", "k", "--acl-file", "a",
          "--metrics-listen=127.0.0.1:9991", "--metrics-per-subdir"};
  ASSERT_EQ(server_config_from_args(on.argc(), on.argv(), &c), STATUS_OK);
  EXPECT_STREQ(c.metrics_listen, "127.0.0.1:9991");
  EXPECT_TRUE(c.metrics_per_subdir);
  EXPECT_EQ(opt_check(on.argc(), on.argv(), known_options, 0), 0);
}

TEST(MetricsListenValid, OnlyIpv4AddressColonPort) {
  for (const char* good : {"127.0.0.1:9991", "0.0.0.0:1", "10.1.2.3:65535", "127.0.0.1:09991"}) {
    EXPECT_TRUE(metrics_listen_valid(good)) << good;
  }
  for (const char* bad : {"", ":", "127.0.0.1", "127.0.0.1:", ":9991", "localhost:9991", "127.0.0.1:0",
                          "127.0.0.1:65536", "127.0.0.1:123456", "127.0.0.1:-1", "127.0.0.1:+1", "127.0.0.1:1 ",
                          "127.0.0.1:99s", "127.0.0.1:80,127.0.0.1:81", "[::1]:9991", "::1:9991",
                          "127.0.0.1.5:80", "300.0.0.1:80"}) {
    EXPECT_FALSE(metrics_listen_valid(bad)) << bad;
  }
  EXPECT_FALSE(metrics_listen_valid(nullptr));
}

// --min-free takes T and the "MB"/"MiB" spellings; --memory-budget only
// K, M and G, and falls back to its default on anything else.
TEST(ServerConfigFromArgs, SizeOptionsKeepTheirOwnForms) {
  const std::pair<const char*, uint64_t> min_free[] = {
      {"512M", 512ull << 20}, {"1T", 1ull << 40}, {"2GiB", 2ull << 30}, {"10", 10}};
  for (const auto& [text, bytes] : min_free) {
    Args a{"--min-free", text};
    uint64_t v = 1;
    EXPECT_EQ(server_config_min_free(a.argc(), a.argv(), &v), STATUS_OK) << text;
    EXPECT_EQ(v, bytes) << text;
  }
  for (const char* bad : {"x", "1X", "1GBs", "-1"}) {
    Args a{"--min-free", bad};
    uint64_t v = 1;
    EXPECT_EQ(server_config_min_free(a.argc(), a.argv(), &v), STATUS_INVALID) << bad;
    EXPECT_EQ(v, 0u);
  }
  const std::pair<const char*, uint64_t> budget[] = {{"64M", 64ull << 20}, {"2g", 2ull << 30}, {"1T", 0},
                                                     {"64MiB", 0}, {"64MB", 0}, {"lots", 0}};
  for (const auto& [text, bytes] : budget) {
    Args a{"--storage=s", "--tls-cert=c", "--tls-key=k", "--acl-file=a", "--memory-budget", text};
    ServerConfig c;
    ASSERT_EQ(server_config_from_args(a.argc(), a.argv(), &c), STATUS_OK);
    EXPECT_EQ(c.memory_budget_bytes, bytes) << text;
  }
}

TEST(ServerExitCode, FailureIsLoggedWithTextAndNumber) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(server_exit_code(STATUS_OK), 0);
  EXPECT_EQ(server_exit_code(STATUS_IO), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(" ERROR orv_target exited with I/O error (status=-1)\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("status=0"), std::string::npos);
}

}  // namespace
}  // namespace orv
