#include "store/image_stream.h"

#include <fcntl.h>

#include <cassert>
#include <cerrno>

#include "core/log.h"
#include "core/status.h"
#include "core/file_io.h"

namespace orv {

namespace {

// Locks a mutex for one scope.
class Lock {
 public:
  explicit Lock(pthread_mutex_t* mu) : mu_(mu) { pthread_mutex_lock(mu_); }
  ~Lock() { pthread_mutex_unlock(mu_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  pthread_mutex_t* mu_;
};

}  // namespace

ImageStream::~ImageStream() { (void)stop(); }  // callers that care about the result stop first

int32_t ImageStream::start(const char* path, int fd, size_t buffer_size) {
  assert(!started_);
  for (AlignedBuffer& slot : slots_) {
    if (slot && slot.size() >= buffer_size) continue;  // kept from an earlier start
    if (!slot.allocate(buffer_size)) {
      for (AlignedBuffer& s : slots_) s.reset();
      return STATUS_NOMEM;
    }
  }
  fd_ = fd;
  stopped_failure_ = STATUS_OK;
  int direct = -1;
  int32_t rc = file_reopen_write_direct(fd, path, &direct);
  if (rc == STATUS_OK) {
    direct_fd_ = direct;
  } else {
    log_write(LEVEL_DEBUG, "%s: no direct I/O (%s, status=%d); writing through the page cache", path,
              status_text(rc), rc);
  }
  for (Job& j : jobs_) j = Job{};
  head_ = 0;
  queued_ = 0;
  failure_ = STATUS_OK;
  quit_ = false;
  int err = pthread_create(&thread_, nullptr, thread_main, this);
  if (err != 0) {
    (void)file_close(direct_fd_.exchange(-1));  // opened for this stream only; nothing was written through it
    for (AlignedBuffer& s : slots_) s.reset();
    fd_ = -1;
    return err == EAGAIN ? STATUS_AGAIN : STATUS_NOMEM;
  }
  started_ = true;
  return STATUS_OK;
}

std::span<uint8_t> ImageStream::buffer() {
  assert(started_);
  Lock lock(&mu_);
  for (;;) {
    for (size_t i = 0; i < IMAGE_STREAM_SLOTS; ++i) {
      if (!jobs_[i].busy) return {slots_[i].get(), slots_[i].size()};
    }
    pthread_cond_wait(&done_, &mu_);
  }
}

int32_t ImageStream::write(std::span<const uint8_t> data, uint64_t offset) {
  assert(started_);
  if (data.empty()) return failure();
  size_t slot = IMAGE_STREAM_SLOTS;
  for (size_t i = 0; i < IMAGE_STREAM_SLOTS; ++i) {
    const uint8_t* b = slots_[i].get();
    if (data.data() >= b && data.data() + data.size() <= b + slots_[i].size()) slot = i;
  }
  if (slot == IMAGE_STREAM_SLOTS) {
    // Not in a buffer of the stream: the caller may reuse it as soon as this
    // returns, so it is written now, after what is queued.
    int32_t rc = drain();
    if (rc != STATUS_OK) return rc;
    rc = write_now(data.data(), data.size(), offset);
    Lock lock(&mu_);
    if (rc != STATUS_OK && failure_ == STATUS_OK) failure_ = rc;
    return failure_;
  }
  Lock lock(&mu_);
  assert(!jobs_[slot].busy && queued_ < IMAGE_STREAM_SLOTS);
  jobs_[slot] = Job{data.data(), data.size(), offset, true};
  order_[(head_ + queued_) % IMAGE_STREAM_SLOTS] = slot;
  ++queued_;
  pthread_cond_signal(&work_);
  return failure_;
}

int32_t ImageStream::drain() {
  if (!started_) return stopped_failure_;
  Lock lock(&mu_);
  while (queued_ > 0) pthread_cond_wait(&done_, &mu_);
  return failure_;
}

int32_t ImageStream::failure() {
  if (!started_) return stopped_failure_;
  Lock lock(&mu_);
  return failure_;
}

int32_t ImageStream::stop() {
  if (!started_) return stopped_failure_;
  int32_t rc = drain();
  stopped_failure_ = rc;
  {
    Lock lock(&mu_);
    quit_ = true;
    pthread_cond_signal(&work_);
  }
  (void)pthread_join(thread_, nullptr);  // joinable, started by start(); cannot fail here
  (void)file_close(direct_fd_.exchange(-1));  // what it wrote is on the device; an fsync of fd covers it
  fd_ = -1;
  started_ = false;
  return rc;
}

void* ImageStream::thread_main(void* arg) {
  static_cast<ImageStream*>(arg)->run();
  return nullptr;
}

void ImageStream::run() {
  Lock lock(&mu_);
  for (;;) {
    while (queued_ == 0 && !quit_) pthread_cond_wait(&work_, &mu_);
    if (queued_ == 0) return;  // quit_ with nothing left
    size_t slot = order_[head_];
    Job job = jobs_[slot];
    bool skip = failure_ != STATUS_OK;  // after a failure nothing more is written
    pthread_mutex_unlock(&mu_);
    int32_t rc = skip ? STATUS_OK : write_now(job.data, job.len, job.offset);
    pthread_mutex_lock(&mu_);
    if (rc != STATUS_OK && failure_ == STATUS_OK) failure_ = rc;
    jobs_[slot].busy = false;
    head_ = (head_ + 1) % IMAGE_STREAM_SLOTS;
    --queued_;
    pthread_cond_broadcast(&done_);
  }
}

int32_t ImageStream::write_buffered(const uint8_t* data, size_t len, uint64_t offset) {
  if (len == 0) return STATUS_OK;
  size_t written = 0;
  int32_t rc = file_pwrite_all(fd_, data, len, offset, &written);
  if (rc == STATUS_OK && written != len) rc = STATUS_IO;  // no progress: the device is full
  if (rc != STATUS_OK) return rc;
  // Start writing it back now, so that the next checkpoint's fsync finds
  // little left to do. Only a hint: without a wait flag it neither waits
  // nor consumes a write-back error, which the fsync still reports.
  (void)sync_file_range(fd_, static_cast<off64_t>(offset), static_cast<off64_t>(len), SYNC_FILE_RANGE_WRITE);
  return STATUS_OK;
}

int32_t ImageStream::write_now(const uint8_t* data, size_t len, uint64_t offset) {
  int direct_fd = direct_fd_.load(std::memory_order_relaxed);
  if (direct_fd < 0) return write_buffered(data, len, offset);
  // Up to the image's next page boundary through the cache.
  size_t head = static_cast<size_t>((DIRECT_IO_ALIGN - offset % DIRECT_IO_ALIGN) % DIRECT_IO_ALIGN);
  if (head > len) head = len;
  int32_t rc = write_buffered(data, head, offset);
  if (rc != STATUS_OK) return rc;
  data += head;
  offset += head;
  len -= head;
  size_t body = static_cast<size_t>(align_down_direct(len));
  if (body != 0 && is_direct_aligned(data)) {
    size_t written = 0;
    rc = file_pwrite_all(direct_fd, data, body, offset, &written);
    if (rc == STATUS_OK && written != body) rc = STATUS_IO;
    if (rc == STATUS_INVALID) {
      // Opened for direct I/O but refused at the first write (some file
      // systems only check then): from here on the cache takes all of it.
      log_write(LEVEL_DEBUG, "direct write refused (status=%d); writing through the page cache", rc);
      (void)file_close(direct_fd_.exchange(-1));  // nothing was written through it
      return write_buffered(data, len, offset);
    }
    if (rc != STATUS_OK) return rc;
    data += body;
    offset += body;
    len -= body;
  }
  return write_buffered(data, len, offset);
}

}  // namespace orv
