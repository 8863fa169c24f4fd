// Shared pieces of the single-session ingest benchmarks (ingest and
// metrics_overhead): the size argument, a cached pseudo-random source, and
// one FULL backup timed the way an agent sends it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "client/client.h"
#include "core/status.h"
#include "load_util.h"
#include "protocol/payloads.h"

namespace orv::bench {

inline constexpr size_t kIngestBlock = 4u << 20;

// A size in MiB, or with a suffix K, M or G; anything else ends the program.
inline uint64_t parse_mib_size(const char* program, const char* text) {
  char* end = nullptr;
  uint64_t v = strtoull(text, &end, 10);
  switch (end != nullptr ? *end : '\0') {
    case 'G': case 'g': v <<= 30; break;
    case 'M': case 'm': v <<= 20; break;
    case 'K': case 'k': v <<= 10; break;
    case '\0': v <<= 20; break;  // plain numbers are MiB
    default: die(program, std::string("bad size ") + text);
  }
  return v;
}

// Writes size bytes of pseudo-random data to path and syncs them, then
// reads the file once so that every run finds it cached. buffer holds
// kIngestBlock bytes.
inline void make_cached_source(const char* program, const std::string& path, uint64_t size, uint8_t* buffer) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) die(program, "cannot create the source");
  uint64_t x = 0x9E3779B97F4A7C15ULL;
  for (uint64_t off = 0; off < size; off += kIngestBlock) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kIngestBlock, size - off));
    for (size_t i = 0; i + 8 <= n; i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      memcpy(buffer + i, &x, 8);
    }
    if (pwrite(fd, buffer, n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) die(program, "source write failed");
  }
  if (fsync(fd) != 0) die(program, "source fsync failed");
  close(fd);
  fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  for (uint64_t off = 0; off < size; off += kIngestBlock) {
    if (pread(fd, buffer, kIngestBlock, static_cast<off_t>(off)) < 0) die(program, "source read failed");
  }
  close(fd);
}

// Where a timed backup goes.
struct IngestTarget {
  const char* program = "";
  uint16_t port = 0;        // on 127.0.0.1
  pid_t worker = -1;        // the process whose CPU time is counted
  const char* api_key = "";
};

// One FULL backup of source (size bytes) named "ingest" in "bench", in
// kIngestBlock BLOCKs with `window` of them sent ahead of their ACKs (1:
// each ACK is read before the next BLOCK goes out), as an agent does.
// Returns seconds from the first BLOCK to END_OK (the backup durable under
// its final names) and adds the worker's CPU seconds to *cpu. buffer holds
// kIngestBlock bytes. Any failure ends the program.
inline double timed_full_backup(const IngestTarget& t, const std::string& source, uint64_t size, int window,
                                uint8_t* buffer, double* cpu) {
  Client c;
  ClientOptions o;
  o.timeout_ms = 120000;
  if (client_connect(&c, "127.0.0.1", t.port, o) != STATUS_OK) die(t.program, "connect failed");
  HelloReply hr;
  if (client_hello(&c, t.api_key, true, FLAG_CONTINUE, &hr) != STATUS_OK) die(t.program, "HELLO failed");
  BeginRequest req;
  req.type = 0;
  req.block_size = kIngestBlock;
  req.source_size = size;
  snprintf(req.target_name, sizeof req.target_name, "ingest");
  snprintf(req.target_subdir, sizeof req.target_subdir, "bench");
  if (client_begin(&c, req) != STATUS_OK) die(t.program, "BEGIN failed");
  int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die(t.program, "cannot open the source");
  double cpu0 = cpu_seconds(t.worker);
  double t0 = now_sec();
  uint64_t block_key = 0;
  int in_flight = 0;
  bool has_seq = false;
  uint64_t seq = 0;
  for (uint64_t off = 0; off < size; off += kIngestBlock, ++block_key) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kIngestBlock, size - off));
    if (pread(fd, buffer, n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) die(t.program, "source read failed");
    BlockHeader h;
    h.key = block_key;
    h.data_length = static_cast<uint32_t>(n);
    if (in_flight == window) {
      if (client_read_ack(&c, &has_seq, &seq) != STATUS_OK) die(t.program, "ACK failed");
      --in_flight;
    }
    if (client_block_send(&c, h, std::span<const uint8_t>(buffer, n)) != STATUS_OK) die(t.program, "BLOCK failed");
    ++in_flight;
  }
  for (; in_flight > 0; --in_flight) {
    if (client_read_ack(&c, &has_seq, &seq) != STATUS_OK) die(t.program, "ACK failed");
  }
  EndOk ok;
  if (client_end(&c, &ok) != STATUS_OK || ok.image_size != size) die(t.program, "END failed");
  double t1 = now_sec();
  close(fd);
  client_close(&c);
  *cpu += cpu_seconds(t.worker) - cpu0;
  return t1 - t0;
}

}  // namespace orv::bench
