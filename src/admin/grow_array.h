// A growable array of plain records for the operator tool: malloc'd,
// doubled when full, freed by its owner. Allocation failures are reported
// to the caller (push returns false) instead of ending the program.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace orv {

template <typename T>
class GrowArray {
  static_assert(std::is_trivially_copyable_v<T>, "records are moved with memcpy");

 public:
  GrowArray() = default;
  ~GrowArray() { free(items_); }
  GrowArray(const GrowArray&) = delete;
  GrowArray& operator=(const GrowArray&) = delete;

  // Appends a zeroed record and returns it; null when memory ran out.
  T* add() {
    if (count_ == cap_) {
      size_t next = cap_ == 0 ? 64 : cap_ * 2;
      if (next > SIZE_MAX / sizeof(T)) return nullptr;
      void* grown = realloc(items_, next * sizeof(T));
      if (grown == nullptr) return nullptr;
      items_ = static_cast<T*>(grown);
      cap_ = next;
    }
    T* slot = &items_[count_++];
    memset(static_cast<void*>(slot), 0, sizeof(T));
    return slot;
  }

  // Drops the last record (undoes an add whose record could not be filled).
  void pop() {
    if (count_ > 0) --count_;
  }

  T& operator[](size_t i) { return items_[i]; }
  const T& operator[](size_t i) const { return items_[i]; }
  size_t size() const { return count_; }
  T* data() { return items_; }
  const T* data() const { return items_; }

 private:
  T* items_ = nullptr;
  size_t count_ = 0;
  size_t cap_ = 0;
};

}  // namespace orv
