#include "app/debug_client.h"

#include <cstdio>
#include <cstring>

#include "app/options.h"
#include "core/status.h"
#include "priv/priv_client.h"

namespace orv {

namespace {

// Size of the error text of one call.
constexpr size_t kErrorSize = 300;

int report_failure(const char* error) {
  printf("ERR %s\n", error[0] != '\0' ? error : "(no detail)");
  return 1;
}

}  // namespace

int run_priv_debug(int argc, const char* const* argv) {
  const char* mode = opt_value(argc, argv, "--priv-debug", nullptr, nullptr);
  const char* sock = opt_value(argc, argv, "--sock", nullptr, nullptr);
  const char* vg = opt_value(argc, argv, "--vg", nullptr, nullptr);
  const char* lv = opt_value(argc, argv, "--lv", nullptr, nullptr);
  const char* size = opt_value(argc, argv, "--size", nullptr, nullptr);
  if (mode == nullptr || sock == nullptr || vg == nullptr || lv == nullptr) {
    fputs("ERR --priv-debug needs --sock, --vg and --lv (and --size for lv_create)\n", stderr);
    return 1;
  }

  char error[kErrorSize] = "";
  if (strcmp(mode, "lv_create") == 0) {
    uint64_t size_bytes = size != nullptr ? parse_decimal_u64(size) : 0;
    char dev_path[ORVP_DEV_PATH_SIZE] = "";
    if (priv_lv_create(sock, vg, lv, size_bytes, dev_path, sizeof dev_path, error, sizeof error) != STATUS_OK) {
      return report_failure(error);
    }
    printf("OK dev_path=%s\n", dev_path);
    return 0;
  }
  if (strcmp(mode, "lv_remove") == 0) {
    if (priv_lv_remove(sock, vg, lv, error, sizeof error) != STATUS_OK) return report_failure(error);
    printf("OK\n");
    return 0;
  }
  if (strcmp(mode, "lv_query") == 0) {
    LvResponse rsp;
    if (priv_lv_query(sock, vg, lv, &rsp, error, sizeof error) != STATUS_OK) return report_failure(error);
    printf("OK found=%u tagged=%u size_bytes=%llu attr=%s segtype=%s origin=%s major=%lld minor=%lld\n",
           static_cast<unsigned>(rsp.found), static_cast<unsigned>(rsp.tagged),
           static_cast<unsigned long long>(rsp.size_bytes), rsp.attr, rsp.segtype, rsp.origin,
           static_cast<long long>(rsp.major), static_cast<long long>(rsp.minor));
    return 0;
  }
  fprintf(stderr, "ERR unknown --priv-debug mode '%s' (lv_create|lv_remove|lv_query)\n", mode);
  return 1;
}

}  // namespace orv
