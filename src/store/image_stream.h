// Appending a backup's block data to its image on a thread of its own,
// past the page cache, while the connection receives the next block.
//
// The stream owns IMAGE_STREAM_SLOTS receive buffers. The connection
// receives each frame into buffer() (a free one, waited for when both are
// being written) and, for a block, hands the data to write(): the write is
// queued for the stream's thread and the buffer stays busy until it is
// done. The data of a block should start in the buffer at an address that is
// congruent to its image offset modulo DIRECT_IO_ALIGN (see
// frame_place_data): then every whole page of it is written with direct
// I/O straight from the buffer, and only the part before the first page
// boundary of the image and after the last one goes through the page cache,
// so the image stays byte-exact whatever the block lengths are. A page is
// only ever written by one of the two paths, so they never disagree.
//
// Where the file system refuses direct I/O (tmpfs) every write goes through
// the page cache and is started towards the disk at once
// (sync_file_range), as the store always did; that is logged once at
// DEBUG.
//
// Failures: the first failed or short write is kept and every later write
// is skipped. The caller learns it from failure() (no wait) or drain() and
// must not acknowledge anything that covers the failed write: a checkpoint
// drains first and makes nothing durable when a write failed.
//
// Durability is the caller's: drain(), then fsync of the image (either
// descriptor: fsync covers the file), as journal_checkpoint does.
//
// One connection thread uses a stream (start, buffer, write, drain,
// failure, stop); the stream's own thread only writes. stop() (or the
// destructor) waits for that thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/aligned_buffer.h"

namespace orv {

inline constexpr size_t IMAGE_STREAM_SLOTS = 2;

class ImageStream {
 public:
  ImageStream() = default;
  ~ImageStream();
  ImageStream(const ImageStream&) = delete;
  ImageStream& operator=(const ImageStream&) = delete;

  // Starts streaming into the image at path, open for writing as fd (not
  // owned; it must stay open until stop). Each buffer holds buffer_size
  // bytes. Opens path a second time for direct I/O (refused: writes stay
  // buffered), allocates the buffers (STATUS_NOMEM) and starts the thread
  // (STATUS_NOMEM / STATUS_AGAIN when it cannot be had). On failure nothing
  // is left open or running. REQUIRES: not started.
  [[nodiscard]] int32_t start(const char* path, int fd, size_t buffer_size);

  bool started() const { return started_; }
  // Whether whole pages still go past the page cache.
  bool direct() const { return direct_fd_.load(std::memory_order_relaxed) >= 0; }

  // A free buffer to receive the next frame into, waiting while every
  // buffer is being written. REQUIRES: started.
  std::span<uint8_t> buffer();

  // Writes data at offset of the image. Data inside one of the buffers is
  // queued (the buffer is busy until written); other data is written at
  // once on the calling thread after the queued writes. Returns the first
  // failure of this stream so far (a failure of this very write may only
  // show later). REQUIRES: started; a buffer holds one queued write.
  [[nodiscard]] int32_t write(std::span<const uint8_t> data, uint64_t offset);

  // Waits until every queued write is done; the first failure, or
  // STATUS_OK.
  [[nodiscard]] int32_t drain();

  // The first failure so far, without waiting.
  int32_t failure();

  // Drains, ends the thread and closes the direct descriptor; returns what
  // drain() returned. The buffers stay (the frame that asked for the stop
  // may still be in one) until the stream is destroyed. A stopped stream keeps that
  // result until the next start: stop, drain and failure all return it
  // again, so a second look (an interrupted session after a failed END)
  // never takes a failed image for a whole one. Never started: STATUS_OK.
  int32_t stop();

 private:
  struct Job {
    const uint8_t* data = nullptr;
    size_t len = 0;
    uint64_t offset = 0;
    bool busy = false;     // queued or being written
  };

  static void* thread_main(void* arg);
  void run();
  // Writes one piece: pages directly, the rest through the cache.
  int32_t write_now(const uint8_t* data, size_t len, uint64_t offset);
  int32_t write_buffered(const uint8_t* data, size_t len, uint64_t offset);

  bool started_ = false;
  int32_t stopped_failure_ = 0;  // what the last stop() returned
  int fd_ = -1;            // the caller's descriptor (buffered)
  // Owned; -1 when direct I/O is refused. Set by start, cleared by the
  // stream's thread when a direct write is refused, closed by stop.
  std::atomic<int> direct_fd_{-1};
  AlignedBuffer slots_[IMAGE_STREAM_SLOTS];
  pthread_t thread_{};

  // Guarded by mu_: jobs_, order_, queued_, next_, failure_, quit_.
  pthread_mutex_t mu_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t work_ = PTHREAD_COND_INITIALIZER;  // a job was queued, or quit_
  pthread_cond_t done_ = PTHREAD_COND_INITIALIZER;  // a job finished
  Job jobs_[IMAGE_STREAM_SLOTS];
  size_t order_[IMAGE_STREAM_SLOTS] = {};  // slots of queued jobs, oldest first (ring)
  size_t head_ = 0;                        // first entry of order_
  size_t queued_ = 0;                      // entries in order_ (includes the one being written)
  int32_t failure_ = 0;
  bool quit_ = false;
};

}  // namespace orv
