// Words of a DSP header inside a flow's storage, as the header observers read them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "flow_bytes.h"

namespace observers_detail {

// Header words may lie anywhere in the flow's storage (the layout places them); a word
// outside the cycle and the capacity reads as 0.
inline size_t readableBytes(const Flow& flow) { return std::max(flow.extent, flow.capacity); }

/// The readable bytes of the flow, the first `reached` of them filled (Flow::fillTo): the
/// fill beyond the cycle is laid down only where a reader looks.
inline std::span<const uint8_t> readableUpTo(const Flow& flow, uint64_t reached) {
  return bytesOf(flow.fillTo(size_t(std::min<uint64_t>(reached, flow.capacity))), readableBytes(flow));
}

/// Word `n` of the header that starts at word `base` of the flow's data.
inline uint32_t headerWord(const Flow& flow, uint32_t base, uint32_t n) {
  uint64_t at = (uint64_t(base) + n) * 4;
  return format::u32At(readableUpTo(flow, at + 4), at);
}

/// The f32 with the bits of headerWord.
inline float headerFloat(const Flow& flow, uint32_t base, uint32_t n) {
  uint64_t at = (uint64_t(base) + n) * 4;
  return format::f32At(readableUpTo(flow, at + 4), at);
}

}  // namespace observers_detail
