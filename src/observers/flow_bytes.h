// Checked reads from a flow's data: nothing here reads past the bytes a caller vouches for
// (the little-endian fields through format::u32At and its kind).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "format/format.h"
#include "layout/layout.h"

namespace observers_detail {

/// The first `limit` bytes of `data`, none when there is no data; checked reads go through it.
inline std::span<const uint8_t> bytesOf(const uint8_t* data, size_t limit) {
  return data ? std::span<const uint8_t>(data, limit) : std::span<const uint8_t>();
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
