#include <cstring>

#include "format/format.h"
#include "playback/playback.h"

uint32_t VeloxPlaybackStreamReader::readU32() {
  uint8_t bytes[4];
  if (read(bytes, sizeof bytes) < 0) return 0;
  return format::u32At(bytes, 0);
}

const char* VeloxPlaybackReaderMemory::setPath(const char* path) {
  label = path ? path : "";
  return label.c_str();
}

int32_t VeloxPlaybackReaderMemory::read(void* destination, uint32_t length) {
  // 64-bit sum: a length near 4 GiB must not wrap back into the buffer.
  if (destination == nullptr || position + uint64_t(length) > size) return -1;
  if (length != 0) std::memcpy(destination, base + position, length);
  position += length;
  return int32_t(length);
}

int VeloxPlaybackReaderMemory::seek(uint64_t target) {
  if (int64_t(target) < 0 || target >= size) return 1;
  position = target;
  return 0;
}

const uint8_t* VeloxPlaybackReaderMemory::pointerAt(uint64_t target) {
  uint32_t offset = uint32_t(target);
  // One past the end is still a valid address; anything further is not.
  if (base == nullptr || offset > size) return nullptr;
  return base + offset;
}
