// The display: the window on SDL's dummy driver, the headless capture, the frame-rate rules,
// the caption and the start answer.
#include <SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "support/test_outputs.h"
#include "avi_reader.h"
#include "support/test_support.h"
#include "frame_image.h"
#include "video/video.h"
#include "video_frames.h"

namespace {

/// Sets SDL_VIDEODRIVER for the test and puts the previous value back.
class VideoDriver {
 public:
  explicit VideoDriver(const char* name) {
    if (const char* old = std::getenv("SDL_VIDEODRIVER")) previous_ = old, hadOne_ = true;
    setenv("SDL_VIDEODRIVER", name, 1);
  }
  ~VideoDriver() {
    if (hadOne_)
      setenv("SDL_VIDEODRIVER", previous_.c_str(), 1);
    else
      unsetenv("SDL_VIDEODRIVER");
  }

 private:
  std::string previous_;
  bool hadOne_ = false;
};

bool waitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 200; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

class DisplayTest : public ::testing::Test {
 protected:
  /// Shows frame `number` (all pixels index `fill`); answers display_frame's answer.
  int show(uint32_t number, uint8_t fill = 1) {
    Bytes frame = videoFrame(number, frameWidth, fill);
    return display_.display_frame(frame.data(), frame.size());
  }
  void startSaving() {
    display_.display_set_avi_name(avi_);
    display_.display_save_on();
  }

  CapturedMessages messages_;
  TempDir dir_;
  std::string avi_ = dir_.file("capture.avi");
  VideoDriver noDevice_{"no-such-driver"};  // headless unless a test picks a driver
  Display display_{testOutputs()};
};

}  // namespace

TEST_F(DisplayTest, TheWindowExistsWhenStartReturnsAndPaintsEveryFrame) {
  VideoDriver dummy("dummy");
  Display display{testOutputs()};
  display.display_start(0, 0, 0);
  ASSERT_TRUE(display.windowOpen());
  ASSERT_TRUE(waitFor([&] { return display.windowPaints() >= 1; }));  // shown once at the start
  Bytes frame = videoFrame(1);
  for (uint32_t n = 2; n <= 4; ++n) {
    uint32_t before = display.windowPaints();
    display.display_frame(frame.data(), frame.size());
    EXPECT_TRUE(waitFor([&] { return display.windowPaints() > before; })) << "frame " << n;
  }
  EXPECT_EQ(messages_.all, "");
}

TEST_F(DisplayTest, TheCloseBoxLeavesTheWindowOpenAndTheEndOfTheRunIsNotHeldUp) {
  VideoDriver dummy("dummy");
  auto display = std::make_unique<Display>(testOutputs());
  display->display_start(0, 0, 0);
  ASSERT_TRUE(display->windowOpen());
  SDL_Event close{};
  close.type = SDL_WINDOWEVENT;
  close.window.event = SDL_WINDOWEVENT_CLOSE;
  close.window.windowID = 1;
  SDL_PushEvent(&close);
  SDL_Event quit{};
  quit.type = SDL_QUIT;
  SDL_PushEvent(&quit);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(display->windowOpen());
  uint32_t before = display->windowPaints();
  Bytes frame = videoFrame(1);
  display->display_frame(frame.data(), frame.size());
  EXPECT_TRUE(waitFor([&] { return display->windowPaints() > before; }));  // the loop still runs

  auto start = std::chrono::steady_clock::now();
  display.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(DisplayTest, WithoutADisplayDeviceTheWindowStaysClosedAndTheCaptureIsWritten) {
  startSaving();
  display_.display_set_caption("rec01.dat");
  display_.display_start(0, 0, 0);
  EXPECT_FALSE(display_.windowOpen());
  for (uint32_t n = 1; n <= 3; ++n) show(n, 100);
  display_.display_finish();
  EXPECT_EQ(messages_.all, "-S: AviFile::open(" + avi_ + ")\n-S: Video saved: " + avi_ + "\n");
  AviContents avi = readAvi(avi_);
  EXPECT_EQ(avi.keyFrames.size(), 3u);
  EXPECT_EQ(avi.width, 640);
  EXPECT_EQ(avi.height, 512);
  EXPECT_DOUBLE_EQ(av_q2d(avi.frameRate), 12.5);
  ASSERT_EQ(avi.firstPicture.size(), size_t(640) * 512);
  EXPECT_EQ(avi.firstPicture[0], asRgb555(paletteColour(100)));
  size_t white = 0;  // the caption's lit pixels in the lower right corner
  for (uint32_t y = 501; y <= 510; ++y)
    for (uint32_t x = 599; x <= 638; ++x) white += avi.firstPicture[size_t(y) * 640 + x] == 0x7FFF;
  EXPECT_GT(white, 40u);
}

TEST_F(DisplayTest, AJumpOfFiveRepeatsTheFrameAndWarnsOnceAJumpOfThirteenDoesNot) {
  startSaving();
  display_.display_start(0, 0, 0);
  show(100);
  show(105);  // 5 x 10 <= 125: five copies
  show(118);  // 13 x 10 > 125: one
  show(118);  // repeated: one
  show(110);  // backwards: one
  show(115);  // five again, without a second warning
  EXPECT_EQ(display_.recordedFrames(), 1u + 5 + 1 + 1 + 1 + 5);
  EXPECT_EQ(messages_.all, "-S: AviFile::open(" + avi_ + ")\n-W: Frame rate fix 5\n");
  display_.display_finish();
  EXPECT_EQ(readAvi(avi_).keyFrames.size(), 14u);  // every copy is a frame of the file
  EXPECT_EQ(readStreamHeader(avi_).length, 14u);
}

TEST_F(DisplayTest, AFrameRateSettingOf30Gives15FramesPerSecondWithoutRepeats) {
  startSaving();
  display_.display_set_frame_rate(30);
  display_.display_start(0, 0, 0);
  show(1);
  show(6);
  EXPECT_EQ(display_.recordedFrames(), 2u);
  display_.display_finish();
  EXPECT_DOUBLE_EQ(av_q2d(readAvi(avi_).frameRate), 15.0);
  StreamHeader header = readStreamHeader(avi_);
  EXPECT_EQ(header.scale, 10u);
  EXPECT_EQ(header.rate, 150u);
  EXPECT_EQ(messages_.all.find("Frame rate fix"), std::string::npos);
}

TEST_F(DisplayTest, AFrameRateSettingOf0Keeps125WithoutTheFix) {
  startSaving();
  display_.display_set_frame_rate(0);
  display_.display_start(0, 0, 0);
  show(1);
  show(6);
  EXPECT_EQ(display_.recordedFrames(), 2u);
  display_.display_finish();
  EXPECT_DOUBLE_EQ(av_q2d(readAvi(avi_).frameRate), 12.5);
}

TEST_F(DisplayTest, TheCaptionIsWrittenIntoTheImageOnlyWhenSaving) {
  display_.display_set_caption("rec01.dat");
  EXPECT_EQ(display_.caption(), "rec01");
  display_.display_start(0, 0, 0);
  show(1, 2);
  EXPECT_EQ(display_.image().at(630, 505), paletteColour(2));  // shown without caption
  Display saving{testOutputs()};
  saving.display_set_avi_name(dir_.file("saving.avi"));
  saving.display_save_on();
  saving.display_set_caption("rec01.dat");
  saving.display_start(0, 0, 0);
  Bytes frame = videoFrame(1, frameWidth, 2);
  saving.display_frame(frame.data(), frame.size());
  size_t white = 0;
  for (uint32_t y = 501; y < 511; ++y)
    for (uint32_t x = 599; x < 639; ++x) {
      uint32_t p = saving.image().at(x, y);
      ASSERT_TRUE(p == 0u || p == 0x00FFFFFFu);
      white += p != 0;
    }
  EXPECT_GT(white, 0u);
  EXPECT_EQ(saving.image().at(598, 505), paletteColour(2));
}

TEST_F(DisplayTest, FramesBeforeTheStartOnlyPrepareTheCapture) {
  startSaving();
  EXPECT_EQ(show(1), 0);
  EXPECT_EQ(messages_.all, "-S: AviFile::open(" + avi_ + ")\n");  // prepared at the first frame
  EXPECT_EQ(display_.recordedFrames(), 0u);
  display_.display_start(7, 0, 0);
  EXPECT_EQ(show(2), 7);  // the answer given at the start
  EXPECT_EQ(display_.recordedFrames(), 1u);
}

TEST_F(DisplayTest, AnAnswerBelowMinus999LeavesTheWindowClosed) {
  VideoDriver dummy("dummy");
  display_.display_start(-1000, 1 << 10, 0xFF);
  EXPECT_FALSE(display_.windowOpen());
  EXPECT_EQ(show(1), 0);
}

TEST_F(DisplayTest, TheCaptureIsNamedVideoCaptureAviUntilTheRunNamesIt) {
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  {
    Display display{testOutputs()};
    display.display_save_on();
    display.display_start(0, 0, 0);
    Bytes frame = videoFrame(1);
    display.display_frame(frame.data(), frame.size());
    display.display_finish();
    display.display_finish();  // closed already: nothing more
  }
  EXPECT_EQ(chdir(previous), 0);
  free(previous);
  EXPECT_EQ(messages_.all,
            "-S: AviFile::open(video-capture.avi)\n-S: Video saved: video-capture.avi\n");
  EXPECT_EQ(readAvi(dir_.file("video-capture.avi")).keyFrames.size(), 1u);
}

TEST_F(DisplayTest, ATruncatedFrameIsShownWithTheMissingBytesAsZero) {
  display_.display_start(0, 0, 0);
  Bytes frame = videoFrame(1, frameWidth, 3);
  display_.display_frame(frame.data(), pixelsAt + 640);  // the top row only
  EXPECT_EQ(display_.image().at(0, 0), paletteColour(3));
  EXPECT_EQ(display_.image().at(0, 1), paletteColour(0));
  display_.display_frame(frame.data(), 2);  // not even a frame number
  EXPECT_EQ(display_.image().at(0, 0), 0u);
}

TEST_F(DisplayTest, FinishWithoutSavingOrWithoutFramesReportsNothing) {
  display_.display_finish();
  Display saving{testOutputs()};
  saving.display_set_avi_name(dir_.file("never.avi"));
  saving.display_save_on();
  saving.display_finish();
  EXPECT_EQ(messages_.all, "");
  EXPECT_FALSE(std::filesystem::exists(dir_.file("never.avi")));
}
