#include "client/agent_bench.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/endian.h"
#include "core/status.h"
#include "core/text.h"

namespace orv {

namespace {

double now_seconds_mono() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Shared {
  const BenchParams* params = nullptr;
  std::atomic<uint32_t> ready{0};    // sessions connected and begun
  std::atomic<bool> go{false};       // set once every session is ready (or failed)
};

struct Worker {
  Shared* shared = nullptr;
  uint32_t index = 0;
  BenchSession* out = nullptr;
  pthread_t thread;
  bool started = false;
};

void fill_random(uint8_t* p, size_t n, uint64_t seed) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    memcpy(p + i, &x, 8);
  }
  for (; i < n; ++i) p[i] = static_cast<uint8_t>(i);
}

void wait_for_go(Shared* s) {
  struct timespec pause = {0, 1000000};
  while (!s->go.load()) nanosleep(&pause, nullptr);
}

int32_t session_body(Worker* w, Client* client, uint8_t* data, bool* counted_ready) {
  const BenchParams& p = *w->shared->params;
  BenchSession* out = w->out;
  HelloReply reply;
  int32_t rc = agent_connect(p.target, FLAG_CONTINUE, client, &reply, &out->err);
  if (rc != STATUS_OK) return rc;
  rc = agent_new_uuid(&out->uuid);
  if (rc != STATUS_OK) {
    agent_error_set(&out->err, rc, "cannot make a uuid");
    client_close(client);
    return rc;
  }
  BeginRequest b;
  b.uuid = out->uuid;
  b.chain_uuid = out->uuid;
  b.type = BACKUP_FULL;
  b.block_size = p.block_size;
  b.source_size = p.size;
  snprintf(b.target_name, sizeof b.target_name, "%s-%u", p.name_prefix, w->index);
  copy_text(b.target_subdir, sizeof b.target_subdir, p.target.subdir);
  rc = client_begin(client, b);
  if (rc != STATUS_OK) {
    agent_error_from(&out->err, "BEGIN", rc, client);
    client_close(client);
    return rc;
  }
  w->shared->ready.fetch_add(1);
  *counted_ready = true;
  wait_for_go(w->shared);

  double t0 = now_seconds_mono();
  uint32_t in_flight = 0;
  bool has_seq = false;
  uint64_t seq = 0;
  uint64_t key = 0;
  for (uint64_t off = 0; off < p.size && rc == STATUS_OK; off += p.block_size, ++key) {
    uint64_t left = p.size - off;
    uint32_t n = left < p.block_size ? static_cast<uint32_t>(left) : p.block_size;
    // Every block differs from every other one in its first bytes.
    put_u64_le(std::span<uint8_t>(data, 16), 0, key);
    put_u32_le(std::span<uint8_t>(data, 16), 8, w->index);
    if (in_flight == p.window) {
      rc = client_read_ack(client, &has_seq, &seq);
      if (rc != STATUS_OK) {
        agent_error_from(&out->err, "BLOCK", rc, client);
        break;
      }
      --in_flight;
    }
    BlockHeader h;
    h.key = key;
    h.data_length = n;
    rc = client_block_send(client, h, std::span<const uint8_t>(data, n));
    if (rc != STATUS_OK) {
      agent_error_from(&out->err, "BLOCK", rc, client);
      break;
    }
    ++in_flight;
    out->bytes += n;
  }
  for (; rc == STATUS_OK && in_flight > 0; --in_flight) {
    rc = client_read_ack(client, &has_seq, &seq);
    if (rc != STATUS_OK) agent_error_from(&out->err, "BLOCK", rc, client);
  }
  if (rc == STATUS_OK) {
    EndOk ok;
    rc = client_end(client, &ok);
    if (rc != STATUS_OK) {
      agent_error_from(&out->err, "END", rc, client);
    } else {
      out->entry_count = ok.entry_count;
      out->image_size = ok.image_size;
    }
  }
  out->seconds = now_seconds_mono() - t0;
  client_close(client);
  return rc;
}

void* session_main(void* arg) {
  Worker* w = static_cast<Worker*>(arg);
  const BenchParams& p = *w->shared->params;
  bool counted_ready = false;
  uint8_t* data = new (std::nothrow) uint8_t[p.block_size];
  if (data == nullptr) {
    agent_error_set(&w->out->err, STATUS_NOMEM, "out of memory");
    w->out->status = STATUS_NOMEM;
  } else {
    fill_random(data, p.block_size, w->index + 1);
    Client client;
    w->out->status = session_body(w, &client, data, &counted_ready);
    delete[] data;
  }
  // A session that failed before it was ready still counts, so that the
  // others are not kept waiting.
  if (!counted_ready) w->shared->ready.fetch_add(1);
  return nullptr;
}

}  // namespace

void bench_result_free(BenchResult* result) {
  delete[] result->sessions;
  *result = BenchResult{};
}

int32_t agent_bench(const BenchParams& params, BenchResult* result) {
  *result = BenchResult{};
  if (params.sessions == 0 || params.block_size == 0 || params.block_size > BLOCK_MAX_DATA || params.window == 0) {
    return STATUS_INVALID;
  }
  result->sessions = new (std::nothrow) BenchSession[params.sessions];
  Worker* workers = new (std::nothrow) Worker[params.sessions];
  if (result->sessions == nullptr || workers == nullptr) {
    delete[] workers;
    bench_result_free(result);
    return STATUS_NOMEM;
  }
  result->count = params.sessions;
  Shared shared;
  shared.params = &params;
  int32_t rc = STATUS_OK;
  for (uint32_t i = 0; i < params.sessions; ++i) {
    workers[i].shared = &shared;
    workers[i].index = i;
    workers[i].out = &result->sessions[i];
    if (pthread_create(&workers[i].thread, nullptr, session_main, &workers[i]) != 0) {
      rc = STATUS_AGAIN;
      break;
    }
    workers[i].started = true;
  }
  uint32_t started = 0;
  for (uint32_t i = 0; i < params.sessions; ++i) started += workers[i].started ? 1 : 0;
  // Every session connects and begins first; then all send at once.
  struct timespec pause = {0, 1000000};
  while (shared.ready.load() < started) nanosleep(&pause, nullptr);
  double t0 = now_seconds_mono();
  shared.go.store(true);
  for (uint32_t i = 0; i < params.sessions; ++i) {
    if (workers[i].started) (void)pthread_join(workers[i].thread, nullptr);  // joinable threads: cannot fail here
  }
  result->wall_seconds = now_seconds_mono() - t0;
  for (uint32_t i = 0; i < params.sessions; ++i) {
    if (!workers[i].started) {
      result->sessions[i].status = STATUS_AGAIN;
      agent_error_set(&result->sessions[i].err, STATUS_AGAIN, "no thread for this session");
    }
    if (result->sessions[i].status != STATUS_OK) ++result->failed;
    else result->total_bytes += result->sessions[i].bytes;
  }
  delete[] workers;
  if (rc == STATUS_OK && result->failed != 0) rc = STATUS_IO;
  return rc;
}

}  // namespace orv
