// An array that grows without copying: anonymous mapped memory enlarged with
// mremap, so a column of any length never needs its old and new storage at
// once, and reserved but untouched pages take no memory.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace zyl_package::detail {

template <typename T>
class GrowingArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  GrowingArray() = default;
  GrowingArray(const GrowingArray&) = delete;
  GrowingArray& operator=(const GrowingArray&) = delete;
  GrowingArray(GrowingArray&& other) noexcept { swap(other); }
  GrowingArray& operator=(GrowingArray&& other) noexcept {
    GrowingArray(std::move(other)).swap(*this);
    return *this;
  }
  ~GrowingArray() {
    if (data_ != nullptr) ::munmap(data_, capacity_bytes_);
  }

  [[nodiscard]] const T* data() const { return data_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] std::size_t size_bytes() const { return size_ * sizeof(T); }

  // Appends `count` elements from `values`; false (and nothing appended)
  // when the memory cannot be had.
  [[nodiscard]] bool append(const T* values, std::size_t count) {
    T* out = extend(count);
    if (out == nullptr) return count == 0;
    std::memcpy(out, values, count * sizeof(T));
    return true;
  }

  // Returns room for `count` more elements, now counted in size(), or null
  // when the memory cannot be had (or `count` is 0).
  [[nodiscard]] T* extend(std::size_t count) {
    if (count == 0) return nullptr;
    if (count > (capacity_bytes_ / sizeof(T)) - size_ && !grow(count)) {
      return nullptr;
    }
    T* out = data_ + size_;
    size_ += count;
    return out;
  }

 private:
  void swap(GrowingArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_bytes_, other.capacity_bytes_);
  }

  bool grow(std::size_t count) {
    constexpr std::size_t kFirstBytes = std::size_t{1} << 16;
    const std::size_t needed_bytes = (size_ + count) * sizeof(T);
    if (count > (SIZE_MAX / 2) / sizeof(T) - size_) return false;
    std::size_t bytes = capacity_bytes_ == 0 ? kFirstBytes : capacity_bytes_;
    while (bytes < needed_bytes) bytes *= 2;
    void* grown = capacity_bytes_ == 0
                      ? ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                      : ::mremap(data_, capacity_bytes_, bytes, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) return false;
    data_ = static_cast<T*>(grown);
    capacity_bytes_ = bytes;
    return true;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_bytes_ = 0;
};

}  // namespace zyl_package::detail
