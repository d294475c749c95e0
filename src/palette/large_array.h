// Arrays of megabytes that the palette design fills once: mappings of their own, which the
// system hands out zeroed and on large pages where it can. Each of the small pages of an
// ordinary allocation would fault on first touch; with a large page, one fault in 512 remains.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace korvane {

template <typename T>
class LargeArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>,
                "the elements start as zero bytes");

 public:
  LargeArray() = default;
  ~LargeArray() { Release(); }
  LargeArray(const LargeArray&) = delete;
  LargeArray& operator=(const LargeArray&) = delete;
  LargeArray(LargeArray&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        bytes_(std::exchange(o.bytes_, 0)) {}

  // `size` zeroed elements (none kept from before); false when the memory cannot be had.
  bool Allocate(size_t size) {
    Release();
    if (size == 0) return true;
    // Whole large pages, starting on one: the mapping is made a page larger and trimmed.
    bytes_ = (size * sizeof(T) + kLargePage - 1) / kLargePage * kLargePage;
    void* m = mmap(nullptr, bytes_ + kLargePage, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) {
      bytes_ = 0;
      return false;
    }
    const uintptr_t start = reinterpret_cast<uintptr_t>(m);
    const uintptr_t aligned = (start + kLargePage - 1) / kLargePage * kLargePage;
    if (aligned > start) munmap(m, aligned - start);
    munmap(reinterpret_cast<void*>(aligned + bytes_), start + kLargePage - aligned);
    madvise(reinterpret_cast<void*>(aligned), bytes_, MADV_HUGEPAGE);
    data_ = reinterpret_cast<T*>(aligned);
    size_ = size;
    return true;
  }
  // Keeps the first `size` elements (no more than there are); the mapping stays as it is, and
  // pages never touched cost nothing.
  void Truncate(size_t size) {
    if (size < size_) size_ = size;
  }
  // Every element zero again; the pages go back to the system until they are touched.
  void Zero() {
    if (data_ && madvise(data_, bytes_, MADV_DONTNEED) != 0)
      for (size_t i = 0; i < size_; ++i) data_[i] = T{};
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  void Release() {
    if (data_) munmap(data_, bytes_);
    data_ = nullptr;
    size_ = 0;
    bytes_ = 0;
  }
  static constexpr size_t kLargePage = size_t{2} << 20;
  T* data_ = nullptr;
  size_t size_ = 0;
  size_t bytes_ = 0;  // mapped
};

}  // namespace korvane
