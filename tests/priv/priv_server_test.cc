// Requests are served against stand-in lvs/lvcreate/lvremove scripts first
// on PATH: there is no device-mapper here for the real tools to work with.
// Peer checks and the socket loop are tested through the real binary
// (tests/app/supervisor_test.cc).
#include "priv/priv_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "core/endian.h"
#include "core/status.h"
#include "priv/ipc.h"
#include "priv/priv_client.h"
#include "priv/test_support.h"

namespace orv {
namespace {

using testing_support::TempDir;
using Bytes = std::vector<uint8_t>;

Bytes request(uint16_t opcode, const std::string& vg, const std::string& lv, uint64_t size = 0) {
  LvRequest req;
  strncpy(req.vg_name, vg.c_str(), sizeof req.vg_name - 1);
  strncpy(req.lv_name, lv.c_str(), sizeof req.lv_name - 1);
  req.size_bytes = size;
  Bytes out(ORVP_MAX_PAYLOAD);
  out.resize(encode_lv_request(opcode, req, out));
  return out;
}

Bytes frame(uint16_t opcode, const Bytes& payload, uint16_t version = 1) {
  Bytes f(ORVP_HEADER_SIZE);
  orvp_encode_header(f, opcode, static_cast<uint32_t>(payload.size()));
  put_u16_le(f, ORVP_OFF_VERSION, version);
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

class HandleRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    // lvs knows vg0/lv0 (tagged); lvcreate and lvremove work on vg0 only.
    const std::string& d = tools_.path();
    testing_support::write_script(d, "lvs",
                                  "for a; do last=$a; done\n"
                                  "case \"$*\" in *lv_tags*) echo '  backup,orv_agent'; exit 0;; esac\n"
                                  "[ \"$last\" = vg0/lv0 ] || { echo '  Failed to find logical volume'; exit 5; }\n"
                                  "echo '  vg0|lv0|-wi-a-----|10737418240|linear||253|3'");
    testing_support::write_script(d, "lvcreate",
                                  "printf '%s ' \"$@\" >> '" + tools_.file("lvcreate.args") + "'\n"
                                  "for a; do last=$a; done\n"
                                  "[ \"$last\" = vg0 ] || { echo \"  Volume group \\\"$last\\\" not found\"; exit 5; }");
    testing_support::write_script(d, "lvremove", "[ \"$3\" = vg0/lv0 ] || { echo '  Failed to find logical volume'; exit 5; }");
    path_.emplace(d + ":" + testing_support::current_path_env());
  }

  // Serves raw bytes as one connection; returns the response frame, or
  // nullopt when the server answered nothing.
  std::optional<std::pair<OrvpHeader, Bytes>> exchange(const Bytes& raw, int32_t* served = nullptr) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    EXPECT_EQ(write(sv[0], raw.data(), raw.size()), static_cast<ssize_t>(raw.size()));
    shutdown(sv[0], SHUT_WR);
    int32_t rc = handle_privileged_request(sv[1]);
    if (served != nullptr) *served = rc;
    close(sv[1]);
    std::optional<std::pair<OrvpHeader, Bytes>> result;
    Bytes buf(ORVP_MAX_PAYLOAD);
    OrvpHeader h;
    if (ipc_recv_frame(sv[0], &h, buf) == STATUS_OK) result.emplace(h, Bytes(buf.begin(), buf.begin() + h.length));
    close(sv[0]);
    return result;
  }

  LvResponse answer(uint16_t opcode, const Bytes& payload) {
    auto r = exchange(frame(opcode, payload));
    LvResponse rsp;
    EXPECT_TRUE(r.has_value());
    if (!r) return rsp;
    EXPECT_EQ(r->first.opcode, opcode);
    EXPECT_EQ(r->second.size(), orvp_response_size(opcode));
    EXPECT_EQ(decode_lv_response(opcode, r->second, &rsp), STATUS_OK);
    return rsp;
  }

  TempDir tools_;
  std::optional<testing_support::ScopedPath> path_;
};

TEST_F(HandleRequest, CreateAndRemove) {
  LvResponse rsp = answer(ORVP_LV_CREATE, request(ORVP_LV_CREATE, "vg0", "lv0"));
  EXPECT_EQ(rsp.status, 0);
  EXPECT_STREQ(rsp.message, "");
  EXPECT_STREQ(rsp.dev_path, "/dev/vg0/lv0");
  rsp = answer(ORVP_LV_CREATE, request(ORVP_LV_CREATE, "vg9", "lv0", 4096));
  EXPECT_EQ(rsp.status, STATUS_IO);
  EXPECT_STREQ(rsp.message, "could not create LV vg9/lv0:   Volume group \"vg9\" not found\n");
  EXPECT_STREQ(rsp.dev_path, "");
  EXPECT_EQ(testing_support::read_file(tools_.file("lvcreate.args")), "-y -n lv0 -L 1K vg0 -y -n lv0 -L 4K vg9 ");

  EXPECT_EQ(answer(ORVP_LV_REMOVE, request(ORVP_LV_REMOVE, "vg0", "lv0")).status, 0);
  rsp = answer(ORVP_LV_REMOVE, request(ORVP_LV_REMOVE, "vg0", "gone"));
  EXPECT_EQ(rsp.status, STATUS_IO);
  EXPECT_STREQ(rsp.message, "could not remove LV vg0/gone:   Failed to find logical volume\n");
}

TEST_F(HandleRequest, QueryFoundMissingAndWithoutTools) {
  LvResponse rsp = answer(ORVP_LV_QUERY, request(ORVP_LV_QUERY, "vg0", "lv0"));
  EXPECT_EQ(rsp.status, 0);
  EXPECT_EQ(rsp.found, 1);
  EXPECT_EQ(rsp.tagged, 1);
  EXPECT_STREQ(rsp.attr, "-wi-a-----");
  EXPECT_STREQ(rsp.segtype, "linear");
  EXPECT_EQ(rsp.size_bytes, 10737418240u);
  EXPECT_EQ(rsp.major, 253);
  EXPECT_EQ(rsp.minor, 3);

  auto missing = exchange(frame(ORVP_LV_QUERY, request(ORVP_LV_QUERY, "vg0", "nolv")));
  ASSERT_TRUE(missing.has_value());
  EXPECT_EQ(missing->second, Bytes(412, 0));  // status 0, found 0, all else zero

  TempDir empty;
  testing_support::ScopedPath only_empty(empty.path());
  rsp = answer(ORVP_LV_QUERY, request(ORVP_LV_QUERY, "vg0", "lv0"));
  EXPECT_EQ(rsp.status, STATUS_IO);
  EXPECT_STREQ(rsp.message, "the lvm tools (lvs) are not installed");
}

TEST_F(HandleRequest, MalformedLengthsAndInvalidNames) {
  LvResponse rsp = answer(ORVP_LV_CREATE, request(ORVP_LV_QUERY, "vg0", "lv0"));  // 256 bytes
  EXPECT_EQ(rsp.status, STATUS_PROTOCOL);
  EXPECT_STREQ(rsp.message, "malformed request");
  EXPECT_EQ(answer(ORVP_LV_QUERY, request(ORVP_LV_CREATE, "vg0", "lv0")).status, STATUS_PROTOCOL);
  EXPECT_EQ(answer(ORVP_LV_REMOVE, Bytes()).status, STATUS_PROTOCOL);

  for (std::string bad : std::initializer_list<std::string>{"vg;reboot", "vg/x", "-vg", ".vg", std::string(127, 'a')}) {
    for (uint16_t op : {ORVP_LV_CREATE, ORVP_LV_REMOVE, ORVP_LV_QUERY}) {
      rsp = answer(op, request(op, bad, "lv0"));
      EXPECT_EQ(rsp.status, STATUS_INVALID) << bad << " op " << op;
      EXPECT_STREQ(rsp.message, "invalid volume group or logical volume name");
      EXPECT_EQ(answer(op, request(op, "vg0", bad)).status, STATUS_INVALID) << bad << " op " << op;
    }
  }
  EXPECT_EQ(testing_support::read_file(tools_.file("lvcreate.args")), "");
}

TEST_F(HandleRequest, UnreadableFramesAndUnknownOpcodesGetNoAnswer) {
  int32_t served = 0;
  Bytes good = frame(ORVP_LV_QUERY, request(ORVP_LV_QUERY, "vg0", "lv0"));
  EXPECT_FALSE(exchange(frame(ORVP_LV_QUERY, request(ORVP_LV_QUERY, "vg0", "lv0"), 2), &served));
  EXPECT_EQ(served, STATUS_PROTOCOL);
  Bytes bad_magic = good;
  bad_magic[3] = 'X';
  EXPECT_FALSE(exchange(bad_magic, &served));
  Bytes oversize(good.begin(), good.begin() + ORVP_HEADER_SIZE);
  put_u32_le(oversize, ORVP_OFF_LENGTH, 4097);
  EXPECT_FALSE(exchange(oversize, &served));
  EXPECT_EQ(served, STATUS_PROTOCOL);
  EXPECT_FALSE(exchange(frame(4, request(ORVP_LV_QUERY, "vg0", "lv0")), &served));
  EXPECT_FALSE(exchange(frame(0, {}), &served));
  Bytes cut(good.begin(), good.begin() + 100);
  EXPECT_FALSE(exchange(cut, &served));
  EXPECT_EQ(served, STATUS_IO);
}

TEST(PrivClient, ErrorsNameTheSocket) {
  TempDir dir;
  char err[300] = "";
  LvResponse rsp;
  std::string missing = dir.file("nothing.sock");
  EXPECT_EQ(priv_lv_query(missing.c_str(), "vg0", "lv0", &rsp, err, sizeof err), STATUS_IO);
  EXPECT_EQ(std::string(err), "cannot connect to " + missing + ": No such file or directory");
  std::string too_long = "/tmp/" + std::string(103, 'x');
  EXPECT_EQ(priv_lv_remove(too_long.c_str(), "vg0", "lv0", err, sizeof err), STATUS_INVALID);
  EXPECT_EQ(std::string(err), "socket path too long: " + too_long);
}

}  // namespace
}  // namespace orv
