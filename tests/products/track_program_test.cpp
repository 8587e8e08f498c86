// The flight track as users get it: tarsel /gps over a recording with navigation blocks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/recording.h"
#include "support/run_program.h"

using ::testing::HasSubstr;

namespace {

constexpr uint32_t dispHeader = 0x56004000, softBase = 0xF0000000;

/// A firmware header cycle for one batch in radar mode `mode`.
Bytes headerCycle(uint32_t batch, uint32_t mode) {
  return dispHeaderCycle({.batch = batch, .secondsOfDay = 37815 + batch, .mode = mode, .rows = 0, .cols = 0});
}

void putU16(Bytes& data, size_t at, uint32_t value) {
  data[at] = static_cast<uint8_t>(value);
  data[at + 1] = static_cast<uint8_t>(value >> 8);
}

/// A 2048-byte SOFT cycle from the EIF opening with a "D1553" block: time of day in
/// 2-second units, latitude word pair, altitude word.
Bytes navigationCycle(uint32_t twoSeconds, uint32_t latitude) {
  Bytes data(2048, 0);
  std::memset(data.data(), 0x5A, 8);
  putU32(data, 20, 128 + 1832);
  std::memcpy(data.data() + 68, "D1553", 5);
  putU16(data, 146, 100 + twoSeconds);  // tt64, low word
  putU16(data, 194, 17 << 10 | 5 << 6);
  putU16(data, 196, twoSeconds);
  putU16(data, 394, 500);
  putU16(data, 422, latitude >> 16);
  putU16(data, 424, latitude);
  std::memset(data.data() + 144 + 1832, 0xA5, 8);
  return cycleBlocks(softBase, sourceEif, data);
}

class TrackProgram : public ::testing::Test {
 protected:
  ProgramResult tarsel(const std::string& arguments) { return runProgram(dir, tarselPath(), arguments); }
  TempDir dir;
};

}  // namespace

TEST_F(TrackProgram, GpsWritesTheTableAndTheGpxTrackOfTheRun) {
  Bytes recording = headerCycle(1, 4);
  append(recording, navigationCycle(18915, 0x20000000));
  append(recording, headerCycle(2, 4));
  append(recording, navigationCycle(18915, 0x20000000));  // same time and place: left out in mode 2
  append(recording, headerCycle(3, 9));
  append(recording, headerCycle(4, 9));  // completes header 3: its mode becomes current
  append(recording, navigationCycle(18916, 0x20000000));
  writeFile(dir.file("a.rec"), recording);

  ProgramResult r = tarsel("a.rec /hfw /gps=2");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("tarsel-I[a.rec:10896]: Mode=RWS (4)\n"));
  // The last cycle is flushed after the run has cleared the message context.
  EXPECT_THAT(r.err, HasSubstr("tarsel-I: Mode=??? (9)\n"));
  const std::string title =
      "                            file;   batch;    a5tt;    tt64;   dtt64;               time; M;Mode; S;"
      "    SC;        lat;        lon; alt(m);      thead;      mhead;       ptaz;    vx[m/s];    vy[m/s];"
      "    vz[m/s];       tang\n";
  const std::string values =
      "; 0;148160; 44.99997224;  0.00000000;    610;   0.000000;   0.000000;   0.000000;   0.000000;"
      "   0.000000;   0.000000;   0.000000\n";
  const std::string file = std::string(27, ' ') + "a.rec;";
  EXPECT_EQ(slurp(dir.file("track-a-cv.out.txt")),
            title + file + "       2;       0;   19015;       0;2022-05-17T10:30:30; 4; RWS" + values +
                file + "       4;       0;   19016;       1;2022-05-17T10:30:32; 9; ???" + values);
  std::string gpx = slurp(dir.file("track-a-cv.out.gpx"));
  EXPECT_THAT(gpx, HasSubstr("<trk>\n<name>FT-track-a-cv.out.gpx</name>\n<trkseg>\n"
                             "  <trkpt lat=\"44.999972\" lon=\"0.000000\"><ele>609.600000</ele>"
                             "<time>2022-05-17T10:30:30.0</time></trkpt>\n"
                             "  <trkpt lat=\"44.999972\" lon=\"0.000000\"><ele>609.600000</ele>"
                             "<time>2022-05-17T10:30:32.0</time></trkpt>\n"
                             "</trkseg>\n</trk>\n</gpx>\n"));
}

TEST_F(TrackProgram, WithoutGpsNoTrackIsWritten) {
  writeFile(dir.file("a.rec"), navigationCycle(1, 1));
  ProgramResult r = tarsel("a.rec");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("track-a-cv.out.txt")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("track-a-cv.out.gpx")));
}

TEST_F(TrackProgram, TheTrackLiesBesideADestinationInAFolderAndTakesTheYearOfTheName) {
  Bytes recording = headerCycle(1, 4);
  append(recording, navigationCycle(18915, 0x20000000));
  append(recording, headerCycle(2, 4));
  std::filesystem::create_directory(dir.file("out"));
  writeFile(dir.file("_19-05-17-10-30-00_3.rec"), recording);
  ProgramResult r = tarsel("_19-05-17-10-30-00_3.rec /hfw /gps /o=out/x.bin");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("opening file"), std::string::npos) << r.err;
  EXPECT_THAT(slurp(dir.file("out/track-x.bin.txt")), HasSubstr(";2019-05-17T10:30:30;"));
  EXPECT_THAT(slurp(dir.file("out/track-x.bin.gpx")),
              HasSubstr("<name>FT-out/track-x.bin.gpx</name>\n<trkseg>\n  <trkpt lat=\"44.999972\" "
                        "lon=\"0.000000\"><ele>609.600000</ele><time>2019-05-17T10:30:30.0</time>"));
}
