// Frame codec over plain channels on a Unix socket pair.
#include "protocol/frame.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <thread>
#include <vector>

#include "core/endian.h"
#include "core/status.h"

namespace orv {
namespace {

struct ChannelPair {
  Channel a;
  Channel b;
  ChannelPair() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    a.fd = sv[0];
    b.fd = sv[1];
  }
  ~ChannelPair() {
    channel_close(&a);
    channel_close(&b);
  }
  // Bytes waiting on b, without blocking.
  size_t pending_on_b() {
    uint8_t buf[65536];
    ssize_t n = recv(b.fd, buf, sizeof buf, MSG_DONTWAIT | MSG_PEEK);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  void write_raw(const std::vector<uint8_t>& bytes) { ASSERT_EQ(send_all(&a, bytes.data(), bytes.size()), STATUS_OK); }
};

std::vector<uint8_t> header_bytes(uint32_t length, uint32_t crc = 0, const char* magic = "ORVT",
                                  uint16_t version = PROTOCOL_VERSION) {
  std::vector<uint8_t> h(FRAME_HEADER_SIZE);
  memcpy(h.data(), magic, 4);
  put_u16_le(h, FRAME_VERSION_OFF, version);
  put_u16_le(h, FRAME_TYPE_OFF, MSG_PING);
  put_u32_le(h, FRAME_LENGTH_OFF, length);
  put_u32_le(h, FRAME_CRC_OFF, crc);
  return h;
}

TEST(Frame, RoundTripAndCheckValueCrc) {
  ChannelPair p;
  const char text[] = "123456789";
  ASSERT_EQ(send_frame(&p.a, MSG_ERROR, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text), 9)),
            STATUS_OK);
  uint8_t raw[FRAME_HEADER_SIZE + 9];
  ASSERT_EQ(recv_all(&p.b, raw, sizeof raw), STATUS_OK);
  EXPECT_EQ(memcmp(raw, "ORVT", 4), 0);
  EXPECT_EQ(memcmp(raw + FRAME_HEADER_SIZE, text, 9), 0);
  EXPECT_EQ(get_u16_le(raw, FRAME_VERSION_OFF), 3);
  EXPECT_EQ(get_u16_le(raw, FRAME_TYPE_OFF), MSG_ERROR);
  EXPECT_EQ(get_u32_le(raw, FRAME_LENGTH_OFF), 9u);
  EXPECT_EQ(get_u32_le(raw, FRAME_CRC_OFF), 0xE3069283u);

  // A payload in two pieces is the same frame as the joined payload.
  std::vector<uint8_t> head(5000, 0x11), body(70000, 0x22);
  std::thread sender([&] { EXPECT_EQ(send_frame_parts(&p.a, MSG_BLOCK, head, body), STATUS_OK); });
  std::vector<uint8_t> buffer(FRAME_MAX_PAYLOAD);
  FrameHeader h;
  ASSERT_EQ(receive_frame(&p.b, &h, buffer), STATUS_OK);
  sender.join();
  EXPECT_EQ(h.msg_type, MSG_BLOCK);
  ASSERT_EQ(h.length, 75000u);
  EXPECT_EQ(buffer[4999], 0x11);
  EXPECT_EQ(buffer[5000], 0x22);
  EXPECT_EQ(buffer[74999], 0x22);
}

TEST(Frame, EmptyPayloadIsSentWithZeroCrcAndAcceptedWithAnyCrc) {
  ChannelPair p;
  ASSERT_EQ(send_frame(&p.a, MSG_PING, {}), STATUS_OK);
  uint8_t raw[FRAME_HEADER_SIZE];
  ASSERT_EQ(recv_all(&p.b, raw, sizeof raw), STATUS_OK);
  EXPECT_EQ(get_u32_le(raw, FRAME_CRC_OFF), 0u);

  p.write_raw(header_bytes(0, 0xDEADBEEF));
  uint8_t buffer[16];
  FrameHeader h;
  EXPECT_EQ(receive_frame(&p.b, &h, buffer), STATUS_OK);
  EXPECT_EQ(h.length, 0u);
}

TEST(Frame, LargestPayloadFitsExactCapacity) {
  ChannelPair p;
  std::vector<uint8_t> payload(FRAME_MAX_PAYLOAD);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  std::thread sender([&] { EXPECT_EQ(send_frame(&p.a, MSG_BLOCK, payload), STATUS_OK); });
  std::vector<uint8_t> buffer(FRAME_MAX_PAYLOAD);
  FrameHeader h;
  EXPECT_EQ(receive_frame(&p.b, &h, buffer), STATUS_OK);
  sender.join();
  EXPECT_EQ(h.length, FRAME_MAX_PAYLOAD);
  EXPECT_EQ(buffer, payload);

  std::vector<uint8_t> too_big(FRAME_MAX_PAYLOAD + 1);
  EXPECT_EQ(send_frame(&p.a, MSG_BLOCK, too_big), STATUS_INVALID);
  EXPECT_EQ(p.pending_on_b(), 0u);
}

// Header faults are found before any payload byte is read.
TEST(Frame, BadHeadersStopBeforeThePayload) {
  struct Case {
    std::vector<uint8_t> header;
    size_t capacity;
    int32_t status;
  };
  const Case cases[] = {
      {header_bytes(4, 0, "ORVX"), 64, STATUS_PROTOCOL},
      {header_bytes(4, 0, "ORVT", 2), 64, STATUS_PROTOCOL},
      {header_bytes(FRAME_MAX_PAYLOAD + 1), FRAME_MAX_PAYLOAD + 64, STATUS_PROTOCOL},
      {header_bytes(65), 64, STATUS_INVALID},
  };
  for (const Case& c : cases) {
    ChannelPair p;
    p.write_raw(c.header);
    p.write_raw({1, 2, 3, 4});
    std::vector<uint8_t> buffer(c.capacity);
    FrameHeader h;
    h.msg_type = 77;
    EXPECT_EQ(receive_frame(&p.b, &h, buffer), c.status);
    if (c.status == STATUS_INVALID) {
      EXPECT_EQ(h.length, 65u) << "the announced length is reported";
    } else {
      EXPECT_EQ(h.msg_type, 77) << "header copied out on failure";
    }
    EXPECT_EQ(p.pending_on_b(), 4u);
    EXPECT_STREQ(last_transport_error(), "");
  }
}

TEST(Frame, FlippedBitIsCorruptAfterTheWholePayload) {
  ChannelPair p;
  std::vector<uint8_t> payload(1000, 0x5A);
  std::thread sender([&] { EXPECT_EQ(send_frame(&p.a, MSG_BLOCK, payload), STATUS_OK); });
  sender.join();
  // Flip one payload bit in flight: read the frame, alter it, resend it raw.
  std::vector<uint8_t> raw(FRAME_HEADER_SIZE + payload.size());
  ASSERT_EQ(recv_all(&p.b, raw.data(), raw.size()), STATUS_OK);
  raw[FRAME_HEADER_SIZE + 500] ^= 0x04;
  p.write_raw(raw);
  std::vector<uint8_t> buffer(4096);
  FrameHeader h;
  EXPECT_EQ(receive_frame(&p.b, &h, buffer), STATUS_CORRUPT);
  EXPECT_EQ(p.pending_on_b(), 0u);
}

TEST(Frame, PeerCloseIsAnIoErrorWithItsText) {
  ChannelPair p;
  p.write_raw({'O', 'R', 'V'});
  channel_close(&p.a);
  channel_close(&p.a);  // closing twice is harmless
  uint8_t buffer[64];
  FrameHeader h;
  EXPECT_EQ(receive_frame(&p.b, &h, buffer), STATUS_IO);
  EXPECT_STREQ(last_transport_error(), "the peer closed the connection");
  // The text belongs to this thread only.
  std::thread other([] { EXPECT_STREQ(last_transport_error(), ""); });
  other.join();
  EXPECT_EQ(send_frame(&p.b, MSG_PING, {}), STATUS_IO);
  EXPECT_NE(std::string(last_transport_error()).find("send failed: "), std::string::npos);
}

}  // namespace
}  // namespace orv

namespace orv {
namespace {

// A placed receive puts the payload where the caller asks, so that the data
// after a fixed head lands on a page boundary (or at the offset within a
// page that its place in a file has); the capacity is what follows it.
TEST(Frame, PlacedReceiveAlignsTheDataAfterTheHead) {
  EXPECT_EQ(frame_place_data(50, 0), 4096u - 50);
  EXPECT_EQ(frame_place_data(50, 50), 0u);
  EXPECT_EQ(frame_place_data(16, 8192), 4096u - 16);
  EXPECT_EQ(frame_place_data(50, 4096 * 3 + 100), 50u);
  EXPECT_EQ(frame_place_data(0, 4096 * 7), 0u);

  ChannelPair p;
  std::vector<uint8_t> head(BLOCK_HEADER_SIZE, 0x33), body(10000, 0x44);
  ASSERT_EQ(send_frame_parts(&p.a, MSG_BLOCK, head, body), STATUS_OK);
  std::vector<uint8_t> buffer(FRAME_PLACE_MAX_OFFSET + 20000);
  struct Ctx {
    uint64_t image_size;
    uint16_t seen_type = 0;
  } ctx{4096 * 5 + 10};
  auto place = [](void* c, const FrameHeader& h) -> size_t {
    auto* x = static_cast<Ctx*>(c);
    x->seen_type = h.msg_type;
    return frame_place_data(BLOCK_HEADER_SIZE, x->image_size);
  };
  FrameHeader h;
  size_t at = 0;
  ASSERT_EQ(receive_frame_placed(&p.b, &h, buffer, place, &ctx, &at), STATUS_OK);
  EXPECT_EQ(ctx.seen_type, MSG_BLOCK);
  EXPECT_EQ(at, frame_place_data(BLOCK_HEADER_SIZE, ctx.image_size));
  EXPECT_EQ((at + BLOCK_HEADER_SIZE) % 4096, 10u);
  ASSERT_EQ(h.length, head.size() + body.size());
  EXPECT_EQ(buffer[at], 0x33);
  EXPECT_EQ(buffer[at + BLOCK_HEADER_SIZE - 1], 0x33);
  EXPECT_EQ(buffer[at + BLOCK_HEADER_SIZE], 0x44);
  EXPECT_EQ(buffer[at + h.length - 1], 0x44);

  // The room after the placed offset is the capacity: a frame that does not
  // fit there is refused before its payload is read.
  std::vector<uint8_t> big(3000, 0x55);
  ASSERT_EQ(send_frame(&p.a, MSG_BLOCK, big), STATUS_OK);
  std::vector<uint8_t> small(4000);
  auto far = [](void*, const FrameHeader&) -> size_t { return 2000; };
  EXPECT_EQ(receive_frame_placed(&p.b, &h, small, far, nullptr, &at), STATUS_INVALID);
  EXPECT_EQ(p.pending_on_b(), 3000u);
}

}  // namespace
}  // namespace orv
