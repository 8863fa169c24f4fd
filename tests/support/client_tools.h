// The real orv_target with one API key that may use every sub-directory,
// and the real orv_client and orv_admin run against it as an operator
// would run them; every run is bounded and the server is stopped by pid.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "server_process.h"

namespace orv_support {

// Exit code and output (standard output and error) of one program run.
struct ToolRun {
  int code = -1;
  std::string out;
};

// The value after "key: " on its own line of a program's output; "" when
// there is no such line.
inline std::string output_field(const std::string& out, const std::string& key) {
  size_t at = out.find("\n" + key + ": ");
  if (at == std::string::npos) return "";
  at += key.size() + 3;
  return out.substr(at, out.find('\n', at) - at);
}

#if defined(ORV_BINARY_DIR) && defined(ORV_TARGET_BIN) && defined(ORV_ADMIN_BIN)
class ClientToolsTest : public ::testing::Test {
 protected:
  // Each program run may take this long.
  static constexpr int kToolRunMs = 120000;

  // api_key: the key the ACL allows everywhere; subdir: where orv_client
  // works.
  ClientToolsTest(const char* api_key, const char* subdir) : api_key_(api_key), subdir_(subdir) {}

  void SetUp() override {
    ASSERT_TRUE(files.create(api_key_ + " **\n"));
    key_file = files.dir.sub("api.key");
    ASSERT_TRUE(write_text(key_file, api_key_ + "\n", 0600));
    ASSERT_TRUE(server.start(ORV_TARGET_BIN)) << server.process.log();
  }
  void TearDown() override {
    if (!server.process.running()) return;
    server.process.signal(SIGTERM);
    EXPECT_TRUE(server.process.wait_exit(30000));
  }

  // orv_client COMMAND with the target, key, CA certificate and
  // sub-directory, without a progress line, then args.
  ToolRun client(const std::string& command, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {std::string(ORV_BINARY_DIR) + "/orv_client", command, "--target",
                                     "localhost:" + std::to_string(server.port()), "--api-key-file", key_file,
                                     "--ca-file", files.cert, "--subdir", subdir_, "--quiet"};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun r;
    r.code = run_tool(argv, kToolRunMs, &r.out);
    return r;
  }

  // orv_admin with args, then the storage root.
  ToolRun admin(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ORV_ADMIN_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--storage");
    argv.push_back(files.storage);
    ToolRun r;
    r.code = run_tool(argv, kToolRunMs, &r.out);
    return r;
  }

  TargetFiles files;
  TargetServer server{files};
  std::string key_file;

 private:
  std::string api_key_;
  std::string subdir_;
};
#endif

}  // namespace orv_support
