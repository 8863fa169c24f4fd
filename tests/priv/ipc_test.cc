#include "priv/ipc.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/endian.h"
#include "core/status.h"

namespace orv {
namespace {

std::vector<uint8_t> header(const char* magic, uint16_t version, uint16_t opcode, uint32_t length) {
  std::vector<uint8_t> h(ORVP_HEADER_SIZE);
  memcpy(h.data(), magic, 4);
  put_u16_le(h, 4, version);
  put_u16_le(h, 6, opcode);
  put_u32_le(h, 8, length);
  return h;
}

const char* text_at(const uint8_t* buf, size_t off) { return reinterpret_cast<const char*>(buf + off); }

TEST(OrvpHeader, FixedLayoutAndRejectedHeaders) {
  uint8_t h[ORVP_HEADER_SIZE];
  orvp_encode_header(h, ORVP_LV_QUERY, 256);
  EXPECT_EQ(std::vector<uint8_t>(h, h + 12), header("ORVP", 1, 3, 256));
  OrvpHeader d;
  ASSERT_EQ(orvp_decode_header(h, &d), STATUS_OK);
  EXPECT_EQ(d.opcode, ORVP_LV_QUERY);
  EXPECT_EQ(d.length, 256u);
  EXPECT_EQ(orvp_decode_header(header("ORVT", 1, 1, 264), &d), STATUS_PROTOCOL);
  EXPECT_EQ(orvp_decode_header(header("ORVP", 2, 1, 264), &d), STATUS_PROTOCOL);
  EXPECT_EQ(orvp_decode_header(header("ORVP", 1, 1, 4097), &d), STATUS_PROTOCOL);
  EXPECT_EQ(orvp_decode_header(header("ORVP", 1, 1, 4096), &d), STATUS_OK);
}

TEST(LvRequestCodec, RoundTripsWithExactLengthsAndTerminatedNames) {
  LvRequest req;
  strcpy(req.vg_name, "vg0");
  strcpy(req.lv_name, "lv0");
  req.size_bytes = 0x0102030405060708ull;
  uint8_t buf[ORVP_MAX_PAYLOAD];
  ASSERT_EQ(encode_lv_request(ORVP_LV_CREATE, req, buf), 264u);
  EXPECT_STREQ(text_at(buf, 0), "vg0");
  EXPECT_STREQ(text_at(buf, 128), "lv0");
  EXPECT_EQ(buf[256], 0x08);
  LvRequest back;
  ASSERT_EQ(decode_lv_request(ORVP_LV_CREATE, std::span<const uint8_t>(buf, 264), &back), STATUS_OK);
  EXPECT_STREQ(back.lv_name, "lv0");
  EXPECT_EQ(back.size_bytes, req.size_bytes);
  for (uint16_t op : {ORVP_LV_REMOVE, ORVP_LV_QUERY}) {
    ASSERT_EQ(encode_lv_request(op, req, buf), 256u);
    ASSERT_EQ(decode_lv_request(op, std::span<const uint8_t>(buf, 256), &back), STATUS_OK);
    EXPECT_EQ(back.size_bytes, 0u);
  }
  EXPECT_EQ(encode_lv_request(9, req, buf), 0u);

  memset(buf, 'a', sizeof buf);
  EXPECT_EQ(decode_lv_request(ORVP_LV_CREATE, std::span<const uint8_t>(buf, 256), &back), STATUS_PROTOCOL);
  EXPECT_EQ(decode_lv_request(ORVP_LV_QUERY, std::span<const uint8_t>(buf, 264), &back), STATUS_PROTOCOL);
  ASSERT_EQ(decode_lv_request(ORVP_LV_REMOVE, std::span<const uint8_t>(buf, 256), &back), STATUS_OK);
  EXPECT_EQ(strlen(back.vg_name), 127u);  // a full field is cut, never runs on
}

TEST(LvResponseCodec, EveryOpcodeUsesItsOffsets) {
  LvResponse rsp;
  strcpy(rsp.attr, "-wi-a-----");
  strcpy(rsp.segtype, "linear");
  strcpy(rsp.origin, "base");
  strcpy(rsp.dev_path, "/dev/vg0/lv0");
  rsp.found = 1;
  rsp.tagged = 1;
  rsp.size_bytes = 10737418240ull;
  rsp.major = 253;
  rsp.minor = -1;
  uint8_t buf[ORVP_MAX_PAYLOAD];
  memset(buf, 0xEE, sizeof buf);
  ASSERT_EQ(encode_lv_response(ORVP_LV_QUERY, rsp, buf), 412u);
  std::span<const uint8_t> b(buf, 412);
  EXPECT_EQ(get_i32_le(b, 0), 0);
  EXPECT_EQ(buf[204], 1);
  EXPECT_EQ(buf[205], 1);
  for (size_t i = 206; i < 212; ++i) EXPECT_EQ(buf[i], 0) << i;
  EXPECT_STREQ(text_at(buf, 212), "-wi-a-----");
  EXPECT_STREQ(text_at(buf, 228), "linear");
  EXPECT_STREQ(text_at(buf, 260), "base");
  EXPECT_EQ(buf[387], 0);  // padding is zero, not the fill
  EXPECT_EQ(get_u64_le(b, 388), 10737418240ull);
  EXPECT_EQ(get_i64_le(b, 396), 253);
  EXPECT_EQ(get_i64_le(b, 404), -1);
  LvResponse back;
  ASSERT_EQ(decode_lv_response(ORVP_LV_QUERY, b, &back), STATUS_OK);
  EXPECT_STREQ(back.origin, "base");
  EXPECT_EQ(back.minor, -1);
  EXPECT_STREQ(back.dev_path, "");

  rsp.status = STATUS_IO;
  memset(rsp.message, 'm', sizeof rsp.message);  // unterminated on purpose
  ASSERT_EQ(encode_lv_response(ORVP_LV_CREATE, rsp, buf), 504u);
  EXPECT_EQ(buf[203], 0);
  EXPECT_STREQ(text_at(buf, 204), "/dev/vg0/lv0");
  ASSERT_EQ(decode_lv_response(ORVP_LV_CREATE, std::span<const uint8_t>(buf, 504), &back), STATUS_OK);
  EXPECT_EQ(back.status, -1);
  EXPECT_EQ(std::string(back.message), std::string(199, 'm'));
  EXPECT_STREQ(back.dev_path, "/dev/vg0/lv0");

  ASSERT_EQ(encode_lv_response(ORVP_LV_REMOVE, rsp, buf), 204u);
  EXPECT_EQ(decode_lv_response(ORVP_LV_REMOVE, std::span<const uint8_t>(buf, 203), &back), STATUS_PROTOCOL);
  ASSERT_EQ(decode_lv_response(ORVP_LV_QUERY, std::span<const uint8_t>(buf, 204), &back), STATUS_OK);
  EXPECT_EQ(back.found, 0);  // a short answer reads as zero past its end
}

TEST(FrameIo, SendReceiveAndEveryReceiveFailure) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  uint8_t buf[ORVP_MAX_PAYLOAD];
  OrvpHeader h;
  std::vector<uint8_t> payload(264, 0x5A);
  ASSERT_EQ(ipc_send_frame(sv[0], ORVP_LV_CREATE, payload), 0);
  ASSERT_EQ(ipc_recv_frame(sv[1], &h, buf), STATUS_OK);
  EXPECT_EQ(h.length, 264u);
  EXPECT_EQ(memcmp(buf, payload.data(), 264), 0);

  std::vector<uint8_t> huge(ORVP_MAX_PAYLOAD + 1, 1);
  EXPECT_EQ(ipc_send_frame(sv[0], ORVP_LV_QUERY, huge), -1);  // refused before writing anything

  auto raw = [&](const std::vector<uint8_t>& bytes) { return write(sv[0], bytes.data(), bytes.size()); };
  raw(header("ORVP", 2, 3, 256));
  EXPECT_EQ(ipc_recv_frame(sv[1], &h, buf), STATUS_PROTOCOL);
  raw(header("ORVP", 1, 3, 5000));
  EXPECT_EQ(ipc_recv_frame(sv[1], &h, buf), STATUS_PROTOCOL);
  raw(header("ORVP", 1, 3, 300));
  EXPECT_EQ(ipc_recv_frame(sv[1], &h, std::span<uint8_t>(buf, 299)), STATUS_INVALID);
  std::vector<uint8_t> cut = header("ORVP", 1, 3, 256);
  cut.resize(cut.size() + 10);
  raw(cut);
  shutdown(sv[0], SHUT_WR);
  EXPECT_EQ(ipc_recv_frame(sv[1], &h, buf), STATUS_IO);  // payload cut short
  EXPECT_EQ(ipc_recv_frame(sv[1], &h, buf), STATUS_IO);  // end of stream

  close(sv[1]);
  EXPECT_EQ(ipc_send_frame(sv[0], ORVP_LV_QUERY, payload), -1);  // closed peer: no SIGPIPE
  close(sv[0]);
}

}  // namespace
}  // namespace orv
