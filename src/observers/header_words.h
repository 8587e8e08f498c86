// Words of a DSP header inside a flow's storage, as the header observers read them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "observers/flow_bytes.h"

namespace observers_detail {

// Header words may lie anywhere in the flow's storage (the layout places them); a word
// outside the cycle and the filled area reads as 0.
inline size_t readableBytes(const Flow& flow) { return std::max(flow.extent, flow.capacity); }

/// Word `n` of the header that starts at word `base` of the flow's data.
inline uint32_t headerWord(const Flow& flow, uint32_t base, uint32_t n) {
  return format::u32At(bytesOf(flow.data, readableBytes(flow)), (uint64_t(base) + n) * 4);
}

/// The f32 with the bits of headerWord.
inline float headerFloat(const Flow& flow, uint32_t base, uint32_t n) {
  return format::f32At(bytesOf(flow.data, readableBytes(flow)), (uint64_t(base) + n) * 4);
}

}  // namespace observers_detail
