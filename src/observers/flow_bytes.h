// Checked reads from a flow's data: nothing here reads past the bytes a caller vouches for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "layout/layout.h"

namespace observers_detail {

/// The little-endian u32 at byte `offset` of the first `limit` bytes of `data`; 0 beyond them.
inline uint32_t wordAt(const uint8_t* data, size_t limit, uint64_t offset) {
  if (data == nullptr || offset + 4 > limit) return 0;
  const uint8_t* p = data + offset;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

/// The f32 with the bits of wordAt.
inline float floatAt(const uint8_t* data, size_t limit, uint64_t offset) {
  uint32_t bits = wordAt(data, limit, offset);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

/// The flow's name, or "" for a record that has none.
inline const char* nameOf(const Flow& flow) { return flow.name ? flow.name : ""; }

inline bool nameIs(const Flow& flow, const char* name) {
  return flow.name != nullptr && std::strcmp(flow.name, name) == 0;
}

/// Whether `length` bytes at byte `offset` of the cycle equal `bytes`; false past `extent`.
inline bool bytesAre(const Flow& flow, uint32_t offset, const char* bytes, size_t length) {
  return flow.data != nullptr && uint64_t(offset) + length <= flow.extent &&
         std::memcmp(flow.data + offset, bytes, length) == 0;
}

/// Whether the software block that opens the cycle has the 8-byte name start `tag`
/// (bytes 68 to 75: the first two words of its 16-character name).
inline bool firstSoftBlockIs(const Flow& flow, const char (&tag)[9]) {
  return bytesAre(flow, 68, tag, 8);
}

/// Start address of the half the latest block belongs to.
inline uint32_t halfStart(const Flow& flow) { return flow.side ? flow.startB : flow.startA; }

}  // namespace observers_detail
