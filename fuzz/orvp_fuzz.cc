// The privileged parent's request handler and the LVM command lines it
// builds, on arbitrary requests. The parent runs as root, so this is where
// a hostile name would do the most harm.
//
// The LVM tools cannot run here (and must not: the handler would create and
// remove real volumes), so this target links its own run_command in place of
// the real subprocess runner. The stand-in checks every command line against
// the exact shapes the handler may run: the fixed options in their places,
// and in the places that carry the request's names only valid names, none
// of them starting with '-', so no request can inject an option. It answers
// with an exit code and output taken from the fuzzer's bytes, so the output
// parsing behind lv_query runs on hostile tool output too.
//
// The response the handler sends must be a well-formed frame of the
// request's opcode and size with a NUL-terminated message; requests with an
// invalid name must never reach a tool.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/status.h"
#include "fuzz_support.h"
#include "priv/ipc.h"
#include "priv/lvm.h"
#include "priv/priv_server.h"
#include "priv/subprocess.h"

using orv_fuzz::Reader;

namespace {

// What the current input lets the tools answer, and what the request asked.
struct ToolScript {
  std::vector<std::pair<int32_t, std::string>> answers;  // exit code, output; one per run
  size_t next = 0;
  int runs = 0;
  orv::LvRequest request;
  uint16_t opcode = 0;
};
ToolScript g_script;

bool is_names_arg(const char* arg, const orv::LvRequest& r) {
  std::string want = std::string(r.vg_name) + "/" + r.lv_name;
  return want == arg;
}

void check_no_option(const char* arg) {
  FUZZ_CHECK(arg != nullptr && arg[0] != '\0');
  FUZZ_CHECK(arg[0] != '-');
}

// The command line must be exactly one of the shapes the handler runs.
void check_command(const char* const* argv) {
  std::vector<std::string> a;
  for (size_t i = 0; argv[i] != nullptr; ++i) a.emplace_back(argv[i]);
  FUZZ_CHECK(!a.empty());
  const orv::LvRequest& r = g_script.request;
  FUZZ_CHECK(orv::lv_name_valid(r.vg_name) && orv::lv_name_valid(r.lv_name));
  if (a[0] == "lvcreate") {
    FUZZ_CHECK(g_script.opcode == orv::ORVP_LV_CREATE);
    FUZZ_CHECK(a.size() == 7 && a[1] == "-y" && a[2] == "-n" && a[4] == "-L");
    check_no_option(argv[3]);
    check_no_option(argv[5]);
    check_no_option(argv[6]);
    FUZZ_CHECK(a[3] == r.lv_name && a[6] == r.vg_name);
    char size[32];
    snprintf(size, sizeof size, "%lluK", static_cast<unsigned long long>(orv::lvm_size_kib(r.size_bytes)));
    FUZZ_CHECK(a[5] == size);
    return;
  }
  if (a[0] == "lvremove") {
    FUZZ_CHECK(g_script.opcode == orv::ORVP_LV_REMOVE);
    FUZZ_CHECK(a.size() == 4 && a[1] == "-f" && a[2] == "-y");
    check_no_option(argv[3]);
    FUZZ_CHECK(is_names_arg(argv[3], r));
    return;
  }
  FUZZ_CHECK(a[0] == "lvs");
  FUZZ_CHECK(g_script.opcode == orv::ORVP_LV_QUERY);
  if (a.size() == 10) {
    FUZZ_CHECK(a[1] == "--noheadings" && a[2] == "--separator" && a[3] == "|" && a[4] == "--units" &&
               a[5] == "b" && a[6] == "--nosuffix" && a[7] == "-o" &&
               a[8] == "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor");
    check_no_option(argv[9]);
    FUZZ_CHECK(is_names_arg(argv[9], r));
    return;
  }
  FUZZ_CHECK(a.size() == 5 && a[1] == "--noheadings" && a[2] == "-o" && a[3] == "lv_tags");
  check_no_option(argv[4]);
  FUZZ_CHECK(is_names_arg(argv[4], r));
}

}  // namespace

namespace orv {

// Stand-in for the subprocess runner (see the top of this file).
int run_command(const char* const* argv, const char* const* extra_env, uint32_t timeout_seconds, char* output,
                size_t output_size, RunResult* out_result) {
  FUZZ_CHECK(extra_env == nullptr);
  FUZZ_CHECK(timeout_seconds > 0);
  check_command(argv);
  g_script.runs += 1;
  *out_result = RunResult{};
  if (output != nullptr && output_size > 0) output[0] = '\0';
  if (g_script.next >= g_script.answers.size()) {
    out_result->exit_code = RUN_EXIT_NOT_FOUND;
    return 0;
  }
  const auto& [code, text] = g_script.answers[g_script.next++];
  if (code < 0) return -1;  // pipe or fork failed
  out_result->exit_code = code;
  if (output != nullptr && output_size > 0) {
    size_t n = text.size() < output_size - 1 ? text.size() : output_size - 1;
    memcpy(output, text.data(), n);
    output[n] = '\0';
  }
  return 0;
}

}  // namespace orv

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orv::log_init("orv_fuzz", getenv("ORV_FUZZ_LOG") != nullptr ? orv::LEVEL_DEBUG : orv::LEVEL_ERROR + 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  uint8_t mode = in.u8();
  g_script = ToolScript{};
  for (int i = 0; i < 2; ++i) {
    int32_t code = static_cast<int8_t>(in.u8());
    if (code < -1) code = -1;
    g_script.answers.emplace_back(code, orv_fuzz::as_text(in.until(0)));
  }

  // The request: either raw bytes (header included), or a well-formed
  // header of a fuzzed opcode around fuzzed payload bytes.
  std::vector<uint8_t> frame;
  if ((mode & 1) != 0) {
    auto raw = in.rest();
    frame.assign(raw.begin(), raw.end());
  } else {
    uint16_t opcode = static_cast<uint16_t>(1 + in.u8() % 4);
    auto payload = in.bytes(orv::ORVP_MAX_PAYLOAD);
    frame.resize(orv::ORVP_HEADER_SIZE + payload.size());
    orv::orvp_encode_header(frame, opcode, static_cast<uint32_t>(payload.size()));
    if (!payload.empty()) memcpy(frame.data() + orv::ORVP_HEADER_SIZE, payload.data(), payload.size());
  }
  orv::OrvpHeader sent;
  bool header_ok = frame.size() >= orv::ORVP_HEADER_SIZE &&
                   orv::orvp_decode_header(std::span<const uint8_t>(frame.data(), orv::ORVP_HEADER_SIZE), &sent) ==
                       orv::STATUS_OK;
  if (header_ok) {
    g_script.opcode = sent.opcode;
    std::span<const uint8_t> payload(frame.data() + orv::ORVP_HEADER_SIZE, frame.size() - orv::ORVP_HEADER_SIZE);
    if (payload.size() >= sent.length) payload = payload.first(sent.length);
    (void)orv::decode_lv_request(sent.opcode, payload, &g_script.request);  // names checked by the stand-in
  }

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  // At most 4 KiB plus the header: fits the socket buffer, no thread needed.
  if (!frame.empty() && send(sv[1], frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
    orv_fuzz::fuzz_fail("request did not fit the socket buffer");
  }
  shutdown(sv[1], SHUT_WR);
  int32_t rc = orv::handle_privileged_request(sv[0]);
  close(sv[0]);

  uint8_t rsp[orv::ORVP_HEADER_SIZE + orv::ORVP_MAX_PAYLOAD + 1];
  size_t got = 0;
  for (;;) {
    ssize_t r = recv(sv[1], rsp + got, sizeof rsp - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  close(sv[1]);

  if (rc != orv::STATUS_OK) {
    FUZZ_CHECK(got == 0);  // an unreadable or unknown request is never answered
    FUZZ_CHECK(g_script.runs == 0);
    return 0;
  }
  FUZZ_CHECK(header_ok);
  orv::OrvpHeader h;
  FUZZ_CHECK(got >= orv::ORVP_HEADER_SIZE);
  FUZZ_CHECK(orv::orvp_decode_header(std::span<const uint8_t>(rsp, orv::ORVP_HEADER_SIZE), &h) == orv::STATUS_OK);
  FUZZ_CHECK(h.opcode == sent.opcode);
  FUZZ_CHECK(h.length == orv::orvp_response_size(sent.opcode));
  FUZZ_CHECK(got == orv::ORVP_HEADER_SIZE + h.length);
  std::span<const uint8_t> body(rsp + orv::ORVP_HEADER_SIZE, h.length);
  orv::LvResponse r;
  FUZZ_CHECK(orv::decode_lv_response(h.opcode, body, &r) == orv::STATUS_OK);
  // Texts end inside their fields on the wire.
  FUZZ_CHECK(memchr(body.data() + orv::ORVP_RSP_OFF_MESSAGE, 0, orv::ORVP_MESSAGE_SIZE) != nullptr);
  FUZZ_CHECK(r.status == 0 || r.status == orv::STATUS_PROTOCOL || r.status == orv::STATUS_INVALID ||
             r.status == orv::STATUS_IO);
  bool names_ok = orv::lv_name_valid(g_script.request.vg_name) && orv::lv_name_valid(g_script.request.lv_name);
  if (r.status == orv::STATUS_PROTOCOL || r.status == orv::STATUS_INVALID || !names_ok) {
    FUZZ_CHECK(g_script.runs == 0);
    FUZZ_CHECK(r.status != 0);
  }
  if (r.status == 0) FUZZ_CHECK(r.message[0] == '\0');
  if (h.opcode == orv::ORVP_LV_CREATE) {
    FUZZ_CHECK(memchr(body.data() + orv::ORVP_RSP_OFF_DEV_PATH, 0, orv::ORVP_DEV_PATH_SIZE) != nullptr);
    if (r.status == 0) {
      std::string want = std::string("/dev/") + g_script.request.vg_name + "/" + g_script.request.lv_name;
      FUZZ_CHECK(want == r.dev_path);
    }
  }
  if (h.opcode == orv::ORVP_LV_QUERY) {
    FUZZ_CHECK(r.found <= 1 && r.tagged <= 1);
    if (r.found == 0) FUZZ_CHECK(r.tagged == 0 && r.attr[0] == '\0' && r.size_bytes == 0);
    FUZZ_CHECK(memchr(body.data() + orv::ORVP_RSP_OFF_ATTR, 0, orv::ORVP_ATTR_SIZE) != nullptr);
    FUZZ_CHECK(memchr(body.data() + orv::ORVP_RSP_OFF_SEGTYPE, 0, orv::ORVP_SEGTYPE_SIZE) != nullptr);
    FUZZ_CHECK(memchr(body.data() + orv::ORVP_RSP_OFF_ORIGIN, 0, orv::ORVP_ORIGIN_SIZE) != nullptr);
  }
  return 0;
}
