// Anonymous mappings with a guard page on each side.
#include "platform/mapped_bytes.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>
#include <utility>

namespace platform {

MappedBytes::MappedBytes(std::size_t size) {
  if (size == 0) return;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t body = (size + page - 1) / page * page;
  if (body < size || body > SIZE_MAX - 2 * page) throw std::bad_alloc();
  void* mapping = ::mmap(nullptr, body + 2 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  auto* start = static_cast<uint8_t*>(mapping);
  if (::mprotect(start + page, body, PROT_READ | PROT_WRITE) != 0) {
    ::munmap(mapping, body + 2 * page);
    throw std::bad_alloc();
  }
  mapping_ = mapping;
  mappingSize_ = body + 2 * page;
  // The buffer ends where the trailing guard page begins.
  data_ = start + page + (body - size);
  size_ = size;
}

MappedBytes& MappedBytes::operator=(MappedBytes&& other) noexcept {
  if (this != &other) {
    reset();
    mapping_ = std::exchange(other.mapping_, nullptr);
    mappingSize_ = std::exchange(other.mappingSize_, 0);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void MappedBytes::reset() {
  if (mapping_) ::munmap(mapping_, mappingSize_);
  mapping_ = nullptr;
  mappingSize_ = 0;
  data_ = nullptr;
  size_ = 0;
}

}  // namespace platform
