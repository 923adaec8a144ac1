// A growing byte buffer for texts of any size. Past a megabyte it takes its
// memory straight from the kernel and grows by remapping pages rather than
// copying them, so a text of n bytes never needs more than n bytes of memory
// at once, where a string that doubles briefly holds both its old and its
// new buffer. Smaller texts live on the heap, which costs no system call.
//
// The last mapping released is kept, its pages handed back to the kernel
// lazily (MADV_FREE), for the next buffer that outgrows the heap: fresh pages
// cost a fault and a clearing each, which for a large text takes longer than
// writing it, while pages the kernel has not yet reclaimed are reused as
// they are. The kernel takes them back whenever it needs the memory.
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace tesmo {

class TextBuffer {
 public:
  TextBuffer() = default;
  ~TextBuffer() { release(); }
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
    if (n == 0) return;
    if (capacity_ - size_ < n) grow(n);
    std::memcpy(data_ + size_, bytes, n);
    size_ += n;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void append(std::size_t n, char c) {
    if (n == 0) return;
    if (capacity_ - size_ < n) grow(n);
    std::memset(data_ + size_, c, n);
    size_ += n;
  }
  // Room for n more bytes after the text, not yet part of it and not
  // initialised; pages stay uncommitted until written.
  char* make_room(std::size_t n) {
    if (capacity_ - size_ < n || data_ == nullptr) grow(n);
    return data_ + size_;
  }
  // Takes n bytes written into the room into the text.
  void extend(std::size_t n) { size_ += n; }
  // Only ever shortens.
  void resize(std::size_t n) {
    if (n < size_) size_ = n;
  }

 private:
  bool mapped() const { return capacity_ >= kMapFrom; }

  void release() {
    if (data_ == nullptr) return;
    if (!mapped()) {
      std::free(data_);
    } else if (capacity_ > kMaxSpare || ::madvise(data_, capacity_, MADV_FREE) != 0) {
      ::munmap(data_, capacity_);
    } else {
      // The mapping's size travels in its first bytes, so the spare is one
      // pointer, exchanged atomically.
      std::memcpy(data_, &capacity_, sizeof capacity_);
      if (void* old = spare().exchange(data_)) unmap_spare(old);
    }
  }

  static std::atomic<void*>& spare() {
    static std::atomic<void*> slot{nullptr};
    return slot;
  }
  static std::size_t spare_capacity(void* p) {
    std::size_t capacity;
    std::memcpy(&capacity, p, sizeof capacity);
    return capacity;
  }
  static void unmap_spare(void* p) { ::munmap(p, spare_capacity(p)); }

  // A new mapping of at least `capacity` bytes: the spare when it is large
  // enough, else fresh pages. Updates `capacity` to the mapping's size.
  static void* map(std::size_t& capacity) {
    if (void* p = spare().exchange(nullptr)) {
      if (spare_capacity(p) >= capacity) {
        capacity = spare_capacity(p);
        return p;
      }
      unmap_spare(p);
    }
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
  }

  // Throws std::bad_alloc when memory is refused, as a string would.
  void grow(std::size_t more) {
    std::size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_;
    while (capacity - size_ < more) capacity *= 2;
    void* p;
    if (capacity < kMapFrom) {
      p = std::realloc(data_, capacity);
      if (p == nullptr) throw std::bad_alloc();
    } else if (!mapped()) {
      p = map(capacity);
      if (p == nullptr) throw std::bad_alloc();
      if (size_ > 0) std::memcpy(p, data_, size_);
      std::free(data_);
    } else {
      p = ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
      if (p == MAP_FAILED) throw std::bad_alloc();
    }
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
  }

  static constexpr std::size_t kFirstCapacity = 256;
  static constexpr std::size_t kMapFrom = std::size_t{1} << 20;  // a power of two times kFirstCapacity
  static constexpr std::size_t kMaxSpare = std::size_t{1} << 30;  // larger mappings are unmapped

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tesmo
