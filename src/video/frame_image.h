// The display picture: a recorded VIDEO frame turned into a 32-bit bottom-up image, the
// caption stamped into it, and the small rules the display applies to each frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace video {

constexpr uint32_t imageWidth = 640;
constexpr uint32_t imageHeight = 512;

// The recorded frame, offsets from the start of the VIDEO flow's data.
constexpr size_t frameNumberAt = 0;
constexpr size_t frameStrideAt = 12;
constexpr size_t framePaletteAt = 76;   // 256 entries of 32 bits
constexpr size_t framePixelsAt = 1100;  // one palette index per byte, top row first

/// 640 x 512 pixels of 32 bits (blue in the low byte), bottom row first like a
/// device-independent bitmap; the window paints it and the capture records it.
struct FrameImage {
  std::vector<uint32_t> pixels = std::vector<uint32_t>(size_t(imageWidth) * imageHeight, 0);
  /// The pixel at column x of picture row y (0 = top).
  uint32_t& at(uint32_t x, uint32_t y) {
    return pixels[size_t(imageHeight - 1 - y) * imageWidth + x];
  }
  uint32_t at(uint32_t x, uint32_t y) const {
    return pixels[size_t(imageHeight - 1 - y) * imageWidth + x];
  }
};

/// The image with the lock that serialises the converter's drawing with the window's painting.
struct SharedImage {
  std::mutex lock;
  FrameImage image;
};

/// Fills `image` from the frame in the first `length` bytes of `frame`: every pixel the palette
/// entry of its index. Bytes beyond `length` (header, palette or pixels) read as 0.
void convertFrame(const uint8_t* frame, size_t length, FrameImage& image);

/// How many times a frame numbered `number` is added when the frame-rate fix is on: the jump
/// from `lastRecorded` when it is forward and 10 x jump fits in `rate` tenths, else 1.
uint32_t frameRepeatCount(uint32_t number, uint32_t lastRecorded, uint32_t rate);

/// The caption text: at most 511 characters of `text`, cut at its last ".".
std::string captionOf(const char* text);

/// The caption drawn once: white text on black, one byte per pixel (1 = text), top row first.
struct CaptionBitmap {
  std::string text;  // what was drawn
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> mask;
};

/// Draws `text` with the built-in 8 x 8 font in a 10-pixel line; characters outside printable
/// ASCII show as "?". An empty text gives an empty bitmap.
CaptionBitmap drawCaption(const std::string& text);

/// Writes the caption into `image` with its lower right corner at 639, 511, white on an opaque
/// black background; what falls outside the image is cut off.
void stampCaption(const CaptionBitmap& caption, FrameImage& image);

/// The window background as 0xRRGGBB: red 0, green 128, blue 0, or, with bit 10 of `flags`,
/// `colour` read as 0x00BBGGRR.
uint32_t backgroundColour(int flags, int colour);

}  // namespace video
