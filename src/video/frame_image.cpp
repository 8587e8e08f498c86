// The display picture: palette conversion, frame-rate fix count, caption text and placement.
#include "frame_image.h"

#include <cstring>

#include "format/format.h"

namespace video {

namespace {

constexpr uint32_t paletteEntries = 256;
constexpr size_t captionLimit = 511;
constexpr uint32_t captionWhite = 0x00FFFFFF;
constexpr uint32_t captionBlack = 0x00000000;

uint32_t wordAt(const uint8_t* data, size_t length, uint64_t offset) {
  if (data == nullptr) return 0;
  return format::u32At(std::span<const uint8_t>(data, length), offset);
}

void convertRow(const uint8_t* frame, size_t length, uint64_t rowStart, const uint32_t* palette,
                uint32_t* out) {
  if (rowStart + imageWidth <= length) {
    const uint8_t* row = frame + rowStart;
    for (uint32_t x = 0; x < imageWidth; ++x) out[x] = palette[row[x]];
    return;
  }
  // A row cut by the end of the data: the missing indexes read as 0.
  for (uint32_t x = 0; x < imageWidth; ++x) {
    uint64_t at = rowStart + x;
    out[x] = palette[at < length ? frame[at] : 0];
  }
}

}  // namespace

void convertFrame(const uint8_t* frame, size_t length, FrameImage& image) {
  if (frame == nullptr) length = 0;
  uint32_t palette[paletteEntries];
  for (uint32_t i = 0; i < paletteEntries; ++i)
    palette[i] = wordAt(frame, length, framePaletteAt + 4 * uint64_t(i));
  const uint64_t stride = wordAt(frame, length, frameStrideAt);
  for (uint32_t y = 0; y < imageHeight; ++y)
    convertRow(frame, length, framePixelsAt + y * stride, palette, &image.at(0, y));
}

uint32_t frameRepeatCount(uint32_t number, uint32_t lastRecorded, uint32_t rate) {
  if (number <= lastRecorded) return 1;
  uint32_t jump = number - lastRecorded;
  // 64-bit: a wild frame number must not wrap into a huge repeat count.
  return uint64_t(jump) * 10 <= rate ? jump : 1;
}

std::string captionOf(const char* text) {
  if (text == nullptr) return {};
  std::string caption(text, strnlen(text, captionLimit));
  size_t dot = caption.find_last_of('.');
  if (dot != std::string::npos) caption.resize(dot);
  return caption;
}

void stampCaption(const CaptionBitmap& caption, FrameImage& image) {
  // The text's top left corner: its measured size back from the lower right corner.
  const int64_t left = int64_t(imageWidth - 1) - caption.width;
  const int64_t top = int64_t(imageHeight - 1) - caption.height;
  for (uint32_t row = 0; row < caption.height; ++row) {
    int64_t y = top + row;
    if (y < 0 || y >= imageHeight) continue;
    for (uint32_t column = 0; column < caption.width; ++column) {
      int64_t x = left + column;
      if (x < 0 || x >= imageWidth) continue;
      bool text = caption.mask[size_t(row) * caption.width + column] != 0;
      image.at(uint32_t(x), uint32_t(y)) = text ? captionWhite : captionBlack;
    }
  }
}

uint32_t backgroundColour(int flags, int colour) {
  if ((flags & (1 << 10)) == 0) return 0x008000;
  uint32_t bgr = static_cast<uint32_t>(colour);
  return (bgr & 0xFF) << 16 | (bgr & 0xFF00) | (bgr >> 16 & 0xFF);
}

}  // namespace video
