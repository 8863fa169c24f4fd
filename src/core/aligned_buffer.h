// Move-only owner of a block of memory that starts on a DIRECT_IO_ALIGN
// boundary, for reads and writes that bypass the page cache (O_DIRECT needs
// the buffer address, the file offset and the length aligned). Pages are
// not touched here: a large buffer stays virtual until it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace orv {

// Alignment of memory, offsets and lengths for direct I/O: the page size,
// which covers the logical block size of every device the store writes to.
inline constexpr size_t DIRECT_IO_ALIGN = 4096;

inline constexpr bool is_direct_aligned(uint64_t v) { return v % DIRECT_IO_ALIGN == 0; }
inline constexpr uint64_t align_down_direct(uint64_t v) { return v - v % DIRECT_IO_ALIGN; }
inline constexpr uint64_t align_up_direct(uint64_t v) { return align_down_direct(v + DIRECT_IO_ALIGN - 1); }
inline bool is_direct_aligned(const void* p) { return reinterpret_cast<uintptr_t>(p) % DIRECT_IO_ALIGN == 0; }

class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  ~AlignedBuffer() { reset(); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  AlignedBuffer(AlignedBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }

  // Replaces the buffer with one of at least size bytes (rounded up to the
  // alignment). False when there is no memory; the buffer is then empty.
  [[nodiscard]] bool allocate(size_t size) {
    reset();
    size_t rounded = static_cast<size_t>(align_up_direct(size == 0 ? 1 : size));
    data_ = static_cast<uint8_t*>(aligned_alloc(DIRECT_IO_ALIGN, rounded));
    if (data_ == nullptr) return false;
    size_ = rounded;
    return true;
  }
  void reset() {
    free(data_);
    data_ = nullptr;
    size_ = 0;
  }

  uint8_t* get() const { return data_; }
  size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace orv
