// The program with /videoshow and /videosave over a synthetic recording with VIDEO frames, and
// without its video plugin.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "avi_reader.h"
#include "support/recording.h"
#include "support/run_program.h"

using ::testing::HasSubstr;

namespace {

const std::string recording = "_19-05-17-10-30-00_1.rec";
const std::string capture = "vcapture__19-05-17-10-30-00_1-cv.out.avi";
const std::string destination = "_19-05-17-10-30-00_1-cv.out";
// No window anywhere: the dummy driver, or no display at all.
const std::string dummyDriver = "SDL_VIDEODRIVER=dummy";
const std::string noDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER";
// Display servers named that are not there; Wayland's without its runtime folder, which its
// client library complains about on standard error when it is asked to connect. The session
// bus is named too: looking for it through the X display leaks in the bus library, which the
// sanitizer build would report.
const std::string absentServers =
    "env -u SDL_VIDEODRIVER -u XDG_RUNTIME_DIR DISPLAY=:4321 WAYLAND_DISPLAY=wayland-4321 "
    "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent";

class VideoProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(tarselPath("tarsel-synth"))) << "build tarsel-synth first";
    ASSERT_TRUE(std::filesystem::exists(tarselPath())) << "build tarsel first";
    ProgramResult synth = runProgram(dir_, tarselPath("tarsel-synth"),
                                     "--batches 12 --video-every 2 --flows F-HDR,VIDEO --quiet");
    ASSERT_EQ(synth.status, 0) << synth.err;
    std::smatch frames;
    std::string manifest = slurp(dir_.file(recording + ".manifest.json"));
    ASSERT_TRUE(std::regex_search(manifest, frames, std::regex("\"videoFrames\": (\\d+)")));
    videoFrames_ = std::stoul(frames[1]);
  }
  /// Every line the program wrote to standard error is one of its messages.
  static void expectOnlyMessages(const std::string& err, const std::string& program = "tarsel") {
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);)
      EXPECT_EQ(line.rfind(program + "-", 0), 0u) << "stray line: " << line;
  }
  ProgramResult tarsel(const std::string& qualifiers, const std::string& environment,
                       const char* program = "tarsel") {
    return runProgram(dir_, tarselPath(program), recording + " " + qualifiers, environment);
  }

  TempDir dir_;
  size_t videoFrames_ = 0;
};

}  // namespace

TEST_F(VideoProgram, ShowAndSaveWriteEveryFrameIntoTheCapture) {
  ProgramResult r = tarsel("/videoshow /videosave", dummyDriver);
  ASSERT_EQ(r.status, 0) << r.err;
  expectOnlyMessages(r.err);
  EXPECT_THAT(r.err, HasSubstr("]: video window: 640x512 (640)\n"));
  EXPECT_THAT(r.err, HasSubstr("]: AviFile::open(" + capture + ")\n"));
  EXPECT_THAT(r.err, HasSubstr("\ntarsel-S: Video saved: " + capture + "\n"));
  AviContents avi = readAvi(dir_.file(capture));
  ASSERT_TRUE(avi.opened);
  EXPECT_EQ(avi.codec, AV_CODEC_ID_MSVIDEO1);
  EXPECT_EQ(avi.width, 640);
  EXPECT_EQ(avi.height, 512);
  EXPECT_DOUBLE_EQ(av_q2d(avi.frameRate), 12.5);
  EXPECT_GT(videoFrames_, 2u);
  EXPECT_EQ(avi.keyFrames.size(), videoFrames_);
}

TEST_F(VideoProgram, WithoutAnyDisplayTheRunStillSucceedsAndSaves) {
  ProgramResult r = tarsel("/videoshow /videosave /videoframe=30", noDisplay);
  ASSERT_EQ(r.status, 0) << r.err;
  expectOnlyMessages(r.err);
  EXPECT_THAT(r.err, HasSubstr("]: no display: video window not shown\n"));
  EXPECT_EQ(r.err.find("video window:"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("needs /videoshow"), std::string::npos) << r.err;
  AviContents avi = readAvi(dir_.file(capture));
  EXPECT_EQ(avi.keyFrames.size(), videoFrames_);
  EXPECT_DOUBLE_EQ(av_q2d(avi.frameRate), 15.0);
}

TEST_F(VideoProgram, DisplayServersThatAreNotThereLeaveNoStrayLines) {
  ProgramResult r = tarsel("/videoshow /videosave", absentServers);
  ASSERT_EQ(r.status, 0) << r.err;
  expectOnlyMessages(r.err);
  EXPECT_EQ(readAvi(dir_.file(capture)).keyFrames.size(), videoFrames_);
}

TEST_F(VideoProgram, SaveWithoutShowRecordsNothingAndSaysSoOnce) {
  ProgramResult r = tarsel("/videosave", noDisplay);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir_.file(capture)));
  EXPECT_EQ(r.err.find("video window"), std::string::npos);
  const std::string warning = "tarsel-W[" + recording + "]: video capture needs /videoshow\n";
  size_t at = r.err.find(warning);
  EXPECT_NE(at, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(warning, at + 1), std::string::npos) << r.err;
}

TEST_F(VideoProgram, ShowAloneShowsTheFramesAndRecordsNothing) {
  ProgramResult r = tarsel("/videoshow", dummyDriver);
  ASSERT_EQ(r.status, 0) << r.err;
  expectOnlyMessages(r.err);
  EXPECT_THAT(r.err, HasSubstr("]: video window: 640x512 (640)\n"));
  EXPECT_EQ(r.err.find("AviFile"), std::string::npos);
  EXPECT_EQ(r.err.find("Video saved"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir_.file(capture)));
}

TEST_F(VideoProgram, TheDfePlaybackCopyShowsTheVideoAndSavesItWithVideosave) {
  ProgramResult shown = tarsel("", noDisplay, "tarseldfe");
  ASSERT_EQ(shown.status, 0) << shown.err;
  expectOnlyMessages(shown.err, "tarseldfe");
  EXPECT_THAT(shown.err, HasSubstr("tarseldfe-S: Autoset option for DFE playback\n"));
  EXPECT_THAT(shown.err, HasSubstr("]: no display: video window not shown\n"));
  EXPECT_FALSE(std::filesystem::exists(dir_.file(capture)));

  // The preset frame-rate setting -1 keeps 12.5 frames per second with the repeat fix.
  ProgramResult saved = tarsel("/vsave", noDisplay, "tarseldfe");
  ASSERT_EQ(saved.status, 0) << saved.err;
  EXPECT_THAT(saved.err, HasSubstr("\ntarseldfe-S: Video saved: " + capture + "\n"));
  StreamHeader header = readStreamHeader(dir_.file(capture));
  EXPECT_EQ(header.scale, 10u);
  EXPECT_EQ(header.rate, 125u);
  EXPECT_EQ(header.length, videoFrames_);
}

TEST_F(VideoProgram, TheCaptureLiesBesideADestinationInAFolder) {
  std::filesystem::create_directory(dir_.file("out"));
  ProgramResult r = tarsel("/videoshow /videosave /o=out/x.bin", dummyDriver);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("]: AviFile::open(out/" + capture + ")\n"));
  EXPECT_EQ(readAvi(dir_.file("out/" + capture)).keyFrames.size(), videoFrames_);
  EXPECT_FALSE(std::filesystem::exists(dir_.file(capture)));
}

// The plugin is opened only when the window or the capture is needed: TARSEL_VIDEO_PLUGIN
// naming a file that is not there changes nothing for a run that neither shows nor saves.
TEST_F(VideoProgram, RunsWithoutTheDisplayNeverOpenThePlugin) {
  const std::string missing = " TARSEL_VIDEO_PLUGIN=" + dir_.file("none.so");
  for (const char* qualifiers : {"", "/videosave", "/videoout=2"}) {
    SCOPED_TRACE(qualifiers);
    ProgramResult with = tarsel(qualifiers, noDisplay);
    const std::string written = slurp(dir_.file(destination));
    ProgramResult without = tarsel(qualifiers, noDisplay + missing);
    EXPECT_EQ(without.status, with.status);
    EXPECT_EQ(without.out, with.out);
    EXPECT_EQ(without.err, with.err);
    EXPECT_EQ(slurp(dir_.file(destination)), written);
  }
}

// A plugin that cannot be loaded is reported once with the loader's reason; the run goes on
// as without a display, and the capture then fails to open as an unwritable file does.
TEST_F(VideoProgram, APluginThatCannotBeLoadedIsReportedOnceAndTheWindowStaysClosed) {
  std::ofstream(dir_.file("text.so")) << "not a shared library\n";
  for (const char* plugin : {"none.so", "text.so"}) {
    SCOPED_TRACE(plugin);
    const std::string environment = dummyDriver + " TARSEL_VIDEO_PLUGIN=" + dir_.file(plugin);
    const std::string report = "]: video plugin not loaded: " + dir_.file(plugin) + ": ";
    ProgramResult shown = tarsel("/videoshow", environment);
    EXPECT_EQ(shown.status, 0) << shown.err;
    const size_t at = shown.err.find(report);
    ASSERT_NE(at, std::string::npos) << shown.err;
    EXPECT_EQ(shown.err.find(report, at + 1), std::string::npos) << shown.err;
    EXPECT_NE(shown.err.find("]: no display: video window not shown\n", at), std::string::npos);

    ProgramResult saved = tarsel("/videoshow /videosave", environment);
    EXPECT_EQ(saved.status, 1);
    EXPECT_THAT(saved.err, HasSubstr(report));
    EXPECT_THAT(saved.err, HasSubstr("]: AviFile::open(" + capture +
                                     ") -- Can not access a needed shared library (79)\n"));
    EXPECT_FALSE(std::filesystem::exists(dir_.file(capture)));
  }
}

// A copy of the program away from its build folder still finds the plugin there.
TEST_F(VideoProgram, ACopyOfTheProgramElsewhereStillSavesTheVideo) {
  std::filesystem::copy_file(tarselPath(), dir_.file("tarsel"));
  ProgramResult r = runProgram(dir_, dir_.file("tarsel"), recording + " /videoshow /videosave",
                               dummyDriver);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("\ntarsel-S: Video saved: " + capture + "\n"));
  EXPECT_TRUE(readAvi(dir_.file(capture)).opened);
}
