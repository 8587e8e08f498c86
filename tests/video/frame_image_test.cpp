// The display picture: palette conversion with checked reads, repeat counts, caption.
#include "frame_image.h"

#include <gtest/gtest.h>

#include <string>

#include "video_frames.h"

using video::FrameImage;

TEST(ConvertFrame, EveryPixelIsItsPaletteEntryWithTheTopRowOnTop) {
  Bytes frame = videoFrame(1);
  setPixel(frame, 0, 0, 7);      // top left
  setPixel(frame, 639, 0, 200);  // top right
  setPixel(frame, 5, 511, 255);  // bottom row
  FrameImage image;
  video::convertFrame(frame.data(), frame.size(), image);
  EXPECT_EQ(image.at(0, 0), paletteColour(7));
  EXPECT_EQ(image.at(639, 0), paletteColour(200));
  EXPECT_EQ(image.at(5, 511), paletteColour(255));
  EXPECT_EQ(image.at(1, 0), paletteColour(0));
  // Stored bottom-up like a device-independent bitmap: the bottom row comes first.
  EXPECT_EQ(image.pixels[5], paletteColour(255));
  EXPECT_EQ(image.pixels[size_t(511) * 640], paletteColour(7));
}

TEST(ConvertFrame, TheStrideSpacesTheRowsAndOnlyTheFirst640BytesShow) {
  const uint32_t stride = 700;
  Bytes frame = videoFrame(1, stride);
  setPixel(frame, 0, 1, 9, stride);
  setPixel(frame, 650, 0, 3, stride);  // beyond the shown width: never shown
  FrameImage image;
  video::convertFrame(frame.data(), frame.size(), image);
  EXPECT_EQ(image.at(0, 1), paletteColour(9));
  EXPECT_EQ(image.at(10, 0), paletteColour(0));
  for (uint32_t x = 0; x < 640; ++x) ASSERT_NE(image.at(x, 0), paletteColour(3)) << x;
}

TEST(ConvertFrame, BytesBeyondTheDataReadAsZero) {
  Bytes frame = videoFrame(1, 640, 4);
  // Cut in the middle of row 10: the rest of that row and every later row read index 0.
  const size_t cut = pixelsAt + 10 * 640 + 100;
  FrameImage image;
  video::convertFrame(frame.data(), cut, image);
  EXPECT_EQ(image.at(99, 10), paletteColour(4));
  EXPECT_EQ(image.at(100, 10), paletteColour(0));
  EXPECT_EQ(image.at(0, 511), paletteColour(0));

  // Cut inside the palette's first entry: the pixels read index 0, whose entry reads 0.
  video::convertFrame(frame.data(), paletteAt + 2, image);
  EXPECT_EQ(image.at(0, 0), 0u);

  // A stride that points far beyond the data, and no data at all.
  putU32(frame, 12, 0xFFFFFFFF);
  video::convertFrame(frame.data(), frame.size(), image);
  EXPECT_EQ(image.at(0, 0), paletteColour(4));  // row 0 still starts at byte 1100
  EXPECT_EQ(image.at(0, 1), paletteColour(0));
  video::convertFrame(nullptr, 12345, image);
  EXPECT_EQ(image.at(320, 256), 0u);
}

TEST(FrameRepeatCount, AForwardJumpRepeatsWhileTenTimesItFitsTheRate) {
  EXPECT_EQ(video::frameRepeatCount(105, 100, 125), 5u);
  EXPECT_EQ(video::frameRepeatCount(112, 100, 125), 12u);  // 120 <= 125
  EXPECT_EQ(video::frameRepeatCount(113, 100, 125), 1u);   // 130 > 125
  EXPECT_EQ(video::frameRepeatCount(101, 100, 125), 1u);
  EXPECT_EQ(video::frameRepeatCount(100, 100, 125), 1u);  // repeated number
  EXPECT_EQ(video::frameRepeatCount(90, 100, 125), 1u);   // backwards
  // A jump whose ten-fold wraps in 32 bits is still a large jump, not a huge repeat count.
  EXPECT_EQ(video::frameRepeatCount(429496730, 0, 125), 1u);
}

TEST(Caption, KeepsTheNameUpToItsLastDotAndAtMost511Characters) {
  EXPECT_EQ(video::captionOf("rec01.dat"), "rec01");
  EXPECT_EQ(video::captionOf("_19-05-17-10-30-00_3.part.rec"), "_19-05-17-10-30-00_3.part");
  EXPECT_EQ(video::captionOf("nodot"), "nodot");
  EXPECT_EQ(video::captionOf(nullptr), "");
  std::string longName(600, 'a');
  longName[550] = '.';  // beyond the 511 kept characters
  EXPECT_EQ(video::captionOf(longName.c_str()), std::string(511, 'a'));
}

TEST(Caption, IsWhiteOnBlackWithItsLowerRightCornerAt639And511) {
  video::CaptionBitmap caption = video::drawCaption("rec01");
  ASSERT_EQ(caption.width, 5u * 8);
  ASSERT_EQ(caption.height, 10u);
  FrameImage image;
  std::fill(image.pixels.begin(), image.pixels.end(), 0xA0123456u);
  video::stampCaption(caption, image);
  const uint32_t left = 639 - 40, top = 511 - 10;
  size_t white = 0, black = 0;
  for (uint32_t y = top; y < top + 10; ++y) {
    for (uint32_t x = left; x < left + 40; ++x) {
      uint32_t p = image.at(x, y);
      ASSERT_TRUE(p == 0x00FFFFFFu || p == 0u) << x << "," << y;
      (p == 0 ? black : white) += 1;
    }
  }
  EXPECT_GT(white, 40u);  // five glyphs' worth of lit pixels
  EXPECT_GT(black, white);
  // Outside the box the picture is untouched: the column and row past the corner included.
  EXPECT_EQ(image.at(left - 1, 510), 0xA0123456u);
  EXPECT_EQ(image.at(639, 510), 0xA0123456u);
  EXPECT_EQ(image.at(600, 511), 0xA0123456u);
  EXPECT_EQ(image.at(620, top - 1), 0xA0123456u);
}

TEST(Caption, AWideCaptionIsCutAtTheLeftEdgeAndOddCharactersShowAsQuestionMarks) {
  video::CaptionBitmap wide = video::drawCaption(std::string(100, 'W'));  // 800 pixels
  FrameImage image;
  video::stampCaption(wide, image);  // must stay inside the image
  EXPECT_EQ(video::drawCaption("\xE9t\xE9").mask, video::drawCaption("?t?").mask);
  EXPECT_TRUE(video::drawCaption("").mask.empty());
}

TEST(Background, DarkGreenUnlessBit10AsksForTheGivenColour) {
  EXPECT_EQ(video::backgroundColour(0, 0x0000FF), 0x008000u);
  EXPECT_EQ(video::backgroundColour(1 << 10, 0x00336699), 0x996633u);  // 0x00BBGGRR
}
