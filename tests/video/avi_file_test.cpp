// AviFile: the file read back with libavformat, key frames, messages and failures.
#include "support/test_outputs.h"
#include "avi_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "avi_reader.h"
#include "support/recording.h"
#include "support/test_support.h"

namespace {

constexpr uint32_t red = 0x00F80000, blue = 0x000000F8;

/// A width x height picture, bottom row first: the upper half red, the lower half blue.
std::vector<uint32_t> halves(uint32_t width, uint32_t height) {
  std::vector<uint32_t> pixels(size_t(width) * height, blue);
  for (uint32_t row = height / 2; row < height; ++row)  // rows from the bottom: the upper half
    std::fill_n(pixels.begin() + size_t(row) * width, width, red);
  return pixels;
}

/// Runs the test in a temporary directory (for names without a directory).
class InDirectory {
 public:
  explicit InDirectory(const TempDir& dir) : previous_(getcwd(nullptr, 0)) {
    EXPECT_EQ(chdir(dir.path().c_str()), 0);
  }
  ~InDirectory() {
    EXPECT_EQ(chdir(previous_), 0);
    free(previous_);
  }

 private:
  char* previous_;
};

class AviFileTest : public ::testing::Test {
 protected:
  CapturedMessages messages_;
  TempDir dir_;
};

}  // namespace

TEST_F(AviFileTest, WritesOneMsvcVideoStreamThatReadsBackUpright) {
  const std::string name = dir_.file("a.avi");
  {
    video::AviFile avi{testOutputs()};
    ASSERT_TRUE(avi.open(name.c_str()));
    ASSERT_TRUE(avi.createVideoStream(125, 640, 512, 50, -1));
    std::vector<uint32_t> pixels = halves(640, 512);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(avi.addVideoFrame(pixels.data()));
    EXPECT_EQ(avi.frameCount(), 3u);
    EXPECT_TRUE(avi.close());
    EXPECT_TRUE(avi.close());  // a second close has nothing to report
  }
  EXPECT_EQ(messages_.all, "-S: AviFile::open(" + name + ")\n-S: Video saved: " + name + "\n");

  AviContents avi = readAvi(name);
  ASSERT_TRUE(avi.opened);
  EXPECT_EQ(avi.codec, AV_CODEC_ID_MSVIDEO1);
  EXPECT_EQ(avi.tag, "MSVC");
  EXPECT_EQ(avi.title, "video");
  EXPECT_EQ(avi.width, 640);
  EXPECT_EQ(avi.height, 512);
  EXPECT_DOUBLE_EQ(av_q2d(avi.frameRate), 12.5);
  ASSERT_EQ(avi.keyFrames.size(), 3u);
  EXPECT_TRUE(avi.keyFrames[0]);
  ASSERT_EQ(avi.firstPicture.size(), size_t(640) * 512);
  EXPECT_EQ(avi.firstPicture.front(), asRgb555(red));  // top left
  EXPECT_EQ(avi.firstPicture.back(), asRgb555(blue));  // bottom right
}

TEST_F(AviFileTest, TheStreamHeaderKeepsScale10TheCallersRateAndRoomForAWholePicture) {
  const std::string name = dir_.file("header.avi");
  video::AviFile avi{testOutputs()};
  ASSERT_TRUE(avi.open(name.c_str()));
  ASSERT_TRUE(avi.createVideoStream(125, 640, 512, 50, -1));
  std::vector<uint32_t> pixels = halves(640, 512);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(avi.addVideoFrame(pixels.data()));
  avi.close();
  StreamHeader h = readStreamHeader(name);
  ASSERT_TRUE(h.found);
  EXPECT_EQ(h.type, "vids");
  EXPECT_EQ(h.handler, "MSVC");
  EXPECT_EQ(h.scale, 10u);  // not reduced to 2/25
  EXPECT_EQ(h.rate, 125u);
  EXPECT_EQ(h.suggestedBufferSize, 640u * 512 * 4);
  EXPECT_EQ(h.quality, 0xFFFFFFFFu);
  EXPECT_EQ(h.length, 4u);
  EXPECT_EQ(h.flags, 0u);
  EXPECT_EQ(h.initialFrames, 0u);
  EXPECT_EQ(h.start, 0u);
  EXPECT_EQ(h.sampleSize, 0u);
  EXPECT_EQ(h.frame[0], 0);
  EXPECT_EQ(h.frame[1], 0);
  EXPECT_EQ(h.frame[2], 640);
  EXPECT_EQ(h.frame[3], 512);
  AviContents read = readAvi(name);  // still a valid file at 12.5 frames per second
  EXPECT_DOUBLE_EQ(av_q2d(read.frameRate), 12.5);
  EXPECT_EQ(read.keyFrames.size(), 4u);
}

TEST_F(AviFileTest, TheFirstFrameAndEveryFiftiethAfterItAreKeyFrames) {
  const std::string name = dir_.file("keys.avi");
  video::AviFile avi{testOutputs()};
  ASSERT_TRUE(avi.open(name.c_str()));
  ASSERT_TRUE(avi.createVideoStream(150, 32, 32, 50, -1));
  std::vector<uint32_t> pixels = halves(32, 32);
  for (int i = 0; i < 101; ++i) ASSERT_TRUE(avi.addVideoFrame(pixels.data()));
  avi.close();
  AviContents read = readAvi(name);
  EXPECT_DOUBLE_EQ(av_q2d(read.frameRate), 15.0);
  EXPECT_EQ(readStreamHeader(name).rate, 150u);
  ASSERT_EQ(read.keyFrames.size(), 101u);
  for (size_t i = 0; i < read.keyFrames.size(); ++i)
    EXPECT_EQ(read.keyFrames[i], i % 50 == 0) << "frame " << i;
}

TEST_F(AviFileTest, OpeningASecondFileClosesTheFirst) {
  const std::string first = dir_.file("first.avi"), second = dir_.file("second.avi");
  video::AviFile avi{testOutputs()};
  ASSERT_TRUE(avi.open(first.c_str()));
  ASSERT_TRUE(avi.createVideoStream(125, 64, 64, 50, -1));
  std::vector<uint32_t> pixels = halves(64, 64);
  ASSERT_TRUE(avi.addVideoFrame(pixels.data()));
  ASSERT_TRUE(avi.open(second.c_str()));
  EXPECT_EQ(messages_.all, "-S: AviFile::open(" + first + ")\n-S: Video saved: " + first +
                               "\n-S: AviFile::open(" + second + ")\n");
  EXPECT_EQ(readAvi(first).keyFrames.size(), 1u);  // finished and readable already
  EXPECT_EQ(readStreamHeader(first).scale, 10u);     // the first file's header, not the second's
  // The new file has no stream until one is created.
  EXPECT_FALSE(avi.addVideoFrame(pixels.data()));
}

TEST_F(AviFileTest, AFrameBeforeTheStreamIsDroppedWithAWarning) {
  video::AviFile avi{testOutputs()};
  std::vector<uint32_t> pixels = halves(64, 64);
  EXPECT_FALSE(avi.createVideoStream(125, 64, 64, 50, -1));  // no file: quietly false
  EXPECT_FALSE(avi.addVideoFrame(pixels.data()));
  const std::string name = dir_.file("late.avi");
  ASSERT_TRUE(avi.open(name.c_str()));
  EXPECT_FALSE(avi.addVideoFrame(pixels.data()));
  ASSERT_TRUE(avi.createVideoStream(125, 64, 64, 50, -1));
  ASSERT_TRUE(avi.addVideoFrame(pixels.data()));
  avi.close();
  EXPECT_EQ(messages_.all,
            "-W: addVideoFrame(): stream not ready\n-S: AviFile::open(" + name +
                ")\n-W: addVideoFrame(): stream not ready\n-S: Video saved: " + name + "\n");
  EXPECT_EQ(readAvi(name).keyFrames.size(), 1u);
}

TEST_F(AviFileTest, AFileThatCannotBeCreatedIsFatal) {
  const std::string name = dir_.file("no-such-folder/x.avi");
  video::AviFile avi{testOutputs()};
  try {
    avi.open(name.c_str());
    FAIL() << "an F message ends the program";
  } catch (const ExitCalled& exit) {
    EXPECT_EQ(exit.status, 1);
  }
  EXPECT_EQ(messages_.all, "-F: AviFile::open(" + name + ") -- No such file or directory (2)\n");
  EXPECT_FALSE(avi.isOpen());
}

TEST_F(AviFileTest, AMissingNameGivesAviFileDotAvi) {
  InDirectory here(dir_);
  video::AviFile avi{testOutputs()};
  ASSERT_TRUE(avi.open(nullptr));
  avi.close();
  EXPECT_EQ(messages_.all, "-S: AviFile::open(avi_file.avi)\n-S: Video saved: avi_file.avi\n");
  EXPECT_TRUE(std::filesystem::exists(dir_.file("avi_file.avi")));
}
