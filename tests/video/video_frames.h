// Recorded VIDEO frames built in memory for the video tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "support/recording.h"

constexpr uint32_t frameWidth = 640, frameHeight = 512;
constexpr size_t paletteAt = 76, pixelsAt = 1100;

/// The colour videoFrame gives palette index i.
constexpr uint32_t paletteColour(uint32_t i) { return 0xA0000000u | (i * 0x010203u & 0xFFFFFF); }

/// A frame numbered `number` with row stride `stride`; palette entry i is 0xA0000000 | i * 0x010203
/// (a fourth byte that must come through unchanged); every pixel index is `fill`.
inline Bytes videoFrame(uint32_t number, uint32_t stride = frameWidth, uint8_t fill = 0) {
  Bytes frame(pixelsAt + size_t(stride) * frameHeight, fill);
  std::fill(frame.begin(), frame.begin() + pixelsAt, 0);
  putU32(frame, 0, number);
  putU32(frame, 4, frameWidth);
  putU32(frame, 8, frameHeight);
  putU32(frame, 12, stride);
  for (uint32_t i = 0; i < 256; ++i) putU32(frame, paletteAt + 4 * i, paletteColour(i));
  return frame;
}

/// Sets the index of picture pixel x of row y (0 = top) of a frame with the given stride.
inline void setPixel(Bytes& frame, uint32_t x, uint32_t y, uint8_t index,
                     uint32_t stride = frameWidth) {
  frame[pixelsAt + size_t(y) * stride + x] = index;
}
