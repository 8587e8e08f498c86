// Checked little-endian reads from a block payload: a value that does not lie wholly inside
// the bytes reads as 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace postprocess_detail {

/// Unsigned 32-bit at byte `offset`; 0 when it does not fit.
inline uint32_t u32At(std::span<const uint8_t> bytes, uint64_t offset) {
  if (offset + 4 > bytes.size()) return 0;
  const uint8_t* p = bytes.data() + offset;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

/// Unsigned 16-bit at byte `offset`; 0 when it does not fit.
inline uint16_t u16At(std::span<const uint8_t> bytes, uint64_t offset) {
  if (offset + 2 > bytes.size()) return 0;
  const uint8_t* p = bytes.data() + offset;
  return uint16_t(p[0] | p[1] << 8);
}

/// Signed 16-bit at byte `offset`; 0 when it does not fit.
inline int16_t s16At(std::span<const uint8_t> bytes, uint64_t offset) {
  return static_cast<int16_t>(u16At(bytes, offset));
}

/// The 32-bit float with the bits of u32At.
inline float f32At(std::span<const uint8_t> bytes, uint64_t offset) {
  uint32_t bits = u32At(bytes, offset);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

/// Stores `value` little-endian at byte `offset`; nothing when it does not fit.
inline void putU32At(std::span<uint8_t> bytes, uint64_t offset, uint32_t value) {
  if (offset + 4 > bytes.size()) return;
  for (int i = 0; i < 4; ++i) bytes[offset + i] = uint8_t(value >> (8 * i));
}

}  // namespace postprocess_detail
