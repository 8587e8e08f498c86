// The byte formats every subsystem shares: checked little-endian reads and writes over recorded
// bytes, and the 32-byte header of each record of the destination file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace format {

/// Whether `size` bytes at byte `offset` lie wholly inside `bytes` (no overflow for any offset).
inline bool fits(size_t length, uint64_t offset, size_t size) {
  return offset <= length && length - offset >= size;
}

/// Unsigned 16-bit little-endian at byte `offset`; 0 when it does not lie wholly inside.
inline uint16_t u16At(std::span<const uint8_t> bytes, uint64_t offset) {
  if (!fits(bytes.size(), offset, 2)) return 0;
  const uint8_t* p = bytes.data() + offset;
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

/// Signed 16-bit with the bits of u16At.
inline int16_t s16At(std::span<const uint8_t> bytes, uint64_t offset) {
  return static_cast<int16_t>(u16At(bytes, offset));
}

/// Unsigned 32-bit little-endian at byte `offset`; 0 when it does not lie wholly inside.
inline uint32_t u32At(std::span<const uint8_t> bytes, uint64_t offset) {
  if (!fits(bytes.size(), offset, 4)) return 0;
  const uint8_t* p = bytes.data() + offset;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

/// The 32-bit float with the bits of u32At.
inline float f32At(std::span<const uint8_t> bytes, uint64_t offset) {
  uint32_t bits = u32At(bytes, offset);
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

/// Stores `value` little-endian at byte `offset`; nothing when it does not fit.
inline void putU16At(std::span<uint8_t> bytes, uint64_t offset, uint16_t value) {
  if (!fits(bytes.size(), offset, 2)) return;
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

/// Stores `value` little-endian at byte `offset`; nothing when it does not fit.
inline void putU32At(std::span<uint8_t> bytes, uint64_t offset, uint32_t value) {
  if (!fits(bytes.size(), offset, 4)) return;
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

/// Stores the bits of `value` as putU32At does.
inline void putF32At(std::span<uint8_t> bytes, uint64_t offset, float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  putU32At(bytes, offset, bits);
}

/// The header in front of each record of the destination file (all integers little-endian):
/// marker (eight bytes 0x7A), name (up to 8 characters, NUL-padded, no terminator when it has 8),
/// end field (the record's start position + length + 4), data length, source id, source tag,
/// then two zero bytes and four reserved bytes, written as zero.
struct RecordHeader {
  static constexpr size_t size = 32;
  static constexpr size_t markerSize = 8;
  static constexpr uint8_t markerByte = 0x7A;

  std::array<uint8_t, markerSize> marker{};
  std::array<char, 8> name{};
  uint32_t end = 0;
  uint32_t length = 0;
  uint8_t sourceId = 0;
  uint8_t sourceTag = 0;

  /// The header of a record of `length` bytes that starts at destination position `start`.
  static RecordHeader forRecord(std::string_view name, uint64_t start, uint32_t length,
                                uint8_t sourceId, uint8_t sourceTag);
  /// Reads a header from its 32 bytes; bytes that `bytes` does not hold read as zero.
  static RecordHeader parse(std::span<const uint8_t> bytes);
  /// Whether the marker is the eight bytes 0x7A of a record.
  bool hasMarker() const;
  /// The name as text, without the NUL padding.
  std::string_view nameText() const;
  /// Writes the 32 bytes, the reserved ones zero.
  void write(std::span<uint8_t, size> out) const;
};

}  // namespace format
