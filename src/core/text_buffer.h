// A growing byte buffer for large texts. It takes its memory straight from
// the kernel and grows by remapping pages rather than copying them, so a text
// of n bytes never needs more than n bytes of memory at once, where a string
// that doubles briefly holds both its old and its new buffer.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace tesmo {

class TextBuffer {
 public:
  TextBuffer() = default;
  ~TextBuffer() {
    if (data_ != nullptr) ::munmap(data_, capacity_);
  }
  TextBuffer(TextBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  TextBuffer& operator=(TextBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  char* data() { return data_; }
  std::size_t size() const { return size_; }
  std::string_view view() const { return {data_, size_}; }

  void push_back(char c) {
    if (size_ == capacity_) grow(1);
    data_[size_++] = c;
  }
  void append(const char* bytes, std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    if (n > 0) std::memcpy(data_ + size_, bytes, n);
    size_ += n;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void append(std::size_t n, char c) {
    if (capacity_ - size_ < n) grow(n);
    std::memset(data_ + size_, c, n);
    size_ += n;
  }
  // Only ever shortens.
  void resize(std::size_t n) {
    if (n < size_) size_ = n;
  }

 private:
  // Throws std::bad_alloc when the kernel refuses, as a string would.
  void grow(std::size_t more) {
    std::size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_;
    while (capacity - size_ < more) capacity *= 2;
    void* p = data_ == nullptr
                  ? ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                  : ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
  }

  static constexpr std::size_t kFirstCapacity = 64 * 1024;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tesmo
