// The flight track: navigation blocks in memory, files in a temporary working directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_outputs.h"
#include "products/products.h"
#include "support/recording.h"
#include "support/test_support.h"

namespace {

constexpr size_t navigationCycle = 2048;

void putU16(Bytes& data, size_t at, uint16_t value) {
  data[at] = static_cast<uint8_t>(value);
  data[at + 1] = static_cast<uint8_t>(value >> 8);
}

// 32-bit values go out as two words, the high word first.
void putHighFirst(Bytes& data, size_t at, int32_t value) {
  putU16(data, at, static_cast<uint16_t>(static_cast<uint32_t>(value) >> 16));
  putU16(data, at + 2, static_cast<uint16_t>(value));
}

/// A SOFT cycle that opens with a "D1553" S-Block, navigation fields zero.
Bytes navigationBlock() {
  Bytes data(navigationCycle, 0);
  std::fill_n(data.begin(), 8, 0x5A);
  putU32(data, 20, 128 + 1832);
  std::memcpy(data.data() + 68, "D1553", 5);
  return data;
}

void setTime(Bytes& data, unsigned day, unsigned month, uint16_t twoSeconds) {
  putU16(data, 194, static_cast<uint16_t>(day << 10 | month << 6));
  putU16(data, 196, twoSeconds);
}

void setPosition(Bytes& data, int32_t latitude, int32_t longitude) {
  putHighFirst(data, 422, latitude);
  putHighFirst(data, 426, longitude);
}

/// A position in degrees, as the recorder's units give it back.
void setDegrees(Bytes& data, double latitude, double longitude) {
  setPosition(data, static_cast<int32_t>(std::lround(latitude / 8.381898e-8)),
              static_cast<int32_t>(std::lround(longitude / double(8.381898e-8f))));
}

/// A block with a value in every column.
Bytes craftedBlock() {
  Bytes data = navigationBlock();
  putHighFirst(data, 144, 0x00012345);  // tt64
  setTime(data, 31, 12, 1800);
  putU16(data, 380, 16384);                          // true heading
  putU16(data, 382, static_cast<uint16_t>(-8192));   // magnetic heading
  putU16(data, 394, 1000);                           // altitude
  setPosition(data, 578627895, 134217811);           // 48.5, 11.25 degrees
  putU16(data, 442, 0xBEEF);                         // a5tt
  putHighFirst(data, 444, 87654321);                 // vx
  putHighFirst(data, 448, -98765432);                // vy
  putHighFirst(data, 452, 1234567);                  // vz
  putU16(data, 456, static_cast<uint16_t>(-1000));   // antenna azimuth
  putU16(data, 1210, 0x00C0);                        // scale bits 11
  return data;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Cells of a table row, the file column trimmed.
std::vector<std::string> cells(const std::string& row) {
  std::vector<std::string> out;
  std::istringstream in(row);
  for (std::string cell; std::getline(in, cell, ';');) {
    cell.erase(0, cell.find_first_not_of(' '));
    out.push_back(cell);
  }
  return out;
}

const char* const titleLine =
    "                            file;   batch;    a5tt;    tt64;   dtt64;               time; M;Mode; S;"
    "    SC;        lat;        lon; alt(m);      thead;      mhead;       ptaz;    vx[m/s];    vy[m/s];"
    "    vz[m/s];       tang\n";

class FlightTrackTest : public testing::Test {
 protected:
  void TearDown() override { msg::set_context(nullptr); }
  void point(const Bytes& block, int32_t mode, uint32_t batch = 7, uint32_t radarMode = 4) {
    track_.trackPoint(block.data(), block.size(), mode, batch, radarMode);
  }
  /// The table rows written so far (after closing the track).
  std::vector<std::string> rows() {
    track_.trackClose();
    std::vector<std::string> all = lines(slurp(textName));
    if (!all.empty()) all.erase(all.begin());  // the title line
    return all;
  }

  const std::string textName = "track-a-cv.out.txt", gpxName = "track-a-cv.out.gpx";
  WorkInTempDir dir_;
  CapturedMessages messages_;
  std::string destination_ = "a-cv.out", lastSource_ = "last.rec";
  FlightTrack track_{destination_, lastSource_, testOutputs()};
};

TEST_F(FlightTrackTest, CraftedBlockGivesTheExactRowAndGpxPoint) {
  msg::set_context("_19-05-17-10-30-00_3.rec");
  point(craftedBlock(), 0, 1234, 4);
  Bytes later = craftedBlock();
  putHighFirst(later, 144, 0x00012345 + 15625);  // one second of 64-microsecond ticks
  point(later, 0, 1235, 4);
  track_.trackClose();

  const std::string values =
      "2022-12-31T01:00:00; 4; RWS; 3; 18520; 48.49999996; 11.25000028;   1219;  90.000065; -45.000032;"
      "  -5.493168; 101.917480;-114.836594;   1.435456; 138.410950\n";
  const std::string row = "        _19-05-17-10-30-00_3.rec;    1234;   48879;   74565;       0;" + values;
  const std::string second = "        _19-05-17-10-30-00_3.rec;    1235;   48879;   90190;   15625;" + values;
  EXPECT_EQ(slurp(textName), titleLine + row + second);
  EXPECT_EQ(cells(titleLine).size(), cells(row).size()) << "every column has its title";

  const std::string point =
      "  <trkpt lat=\"48.500000\" lon=\"11.250000\"><ele>1219.200000</ele>"
      "<time>2022-12-31T01:00:00.0</time></trkpt>\n";
  EXPECT_EQ(slurp(gpxName),
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n"
            "<gpx version=\"1.1\" creator=\"tarsel\" xmlns=\"http://www.topografix.com/GPX/1/1\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
            "xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
            "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n"
            "<trk>\n<name>FT-track-a-cv.out.gpx</name>\n<trkseg>\n" +
                point + point + "</trkseg>\n</trk>\n</gpx>\n");
  EXPECT_EQ(track_.timeText(), "2022-12-31T01:00:00");
  EXPECT_STREQ(track_.modeName(), "RWS");
  EXPECT_EQ(messages_.all, "-I[_19-05-17-10-30-00_3.rec]: Mode=RWS (4)\n");
}

TEST_F(FlightTrackTest, ModeFiltersRepeatedTimeAndPosition) {
  Bytes a = navigationBlock(), moved = navigationBlock(), later = navigationBlock();
  setTime(a, 1, 5, 100);
  setPosition(a, 1000, 2000);
  setTime(moved, 1, 5, 100);
  setPosition(moved, 1001, 2000);
  setTime(later, 1, 5, 101);
  setPosition(later, 1001, 2000);
  {
    FlightTrack track{destination_, lastSource_, testOutputs()};
    for (const Bytes* b : {&a, &a, &moved, &later}) track.trackPoint(b->data(), b->size(), 2, 1, 4);
  }
  EXPECT_EQ(lines(slurp(textName)).size(), 1u + 3u) << "mode 2: the repeated block is left out";
  {
    FlightTrack track{destination_, lastSource_, testOutputs()};
    for (const Bytes* b : {&a, &a, &moved, &later}) track.trackPoint(b->data(), b->size(), 1, 1, 4);
  }
  EXPECT_EQ(lines(slurp(textName)).size(), 1u + 2u) << "mode 1: only a change of seconds counts";
  for (const Bytes* b : {&a, &a}) point(*b, 0);
  EXPECT_EQ(rows().size(), 2u) << "mode 0: every block";
}

TEST_F(FlightTrackTest, FirstBlockOfTheRunIsAlwaysWrittenAndTheFilterWorksAfterIt) {
  Bytes zero = navigationBlock(), next = navigationBlock();
  putHighFirst(zero, 144, 500);
  setTime(next, 1, 1, 1);
  putHighFirst(next, 144, 800);
  for (int32_t mode : {1, 2}) {
    SCOPED_TRACE(mode);
    FlightTrack track{destination_, lastSource_, testOutputs()};
    for (const Bytes* b : {&zero, &zero, &next, &next}) track.trackPoint(b->data(), b->size(), mode, 7, 4);
    track.trackClose();
    std::vector<std::string> written = lines(slurp(textName));
    ASSERT_EQ(written.size(), 1u + 2u);
    EXPECT_EQ(cells(written[1])[4], "0");
    EXPECT_EQ(cells(written[1])[5], "2022-00-00T00:00:00") << "no date: recorded day and month";
    EXPECT_EQ(cells(written[2])[4], "300");
    EXPECT_EQ(cells(written[2])[5], "2022-01-01T00:00:02");
  }
}

TEST_F(FlightTrackTest, TimeTextAndScale) {
  Bytes block = navigationBlock();
  setTime(block, 31, 12, 1800);
  putU16(block, 1210, 0x00C0);  // scale bits 11
  point(block, 0);
  setTime(block, 2, 3, 45000);  // 25 hours: the next day
  putU16(block, 1210, 0xFF3F);  // scale bits 00, every other bit set
  point(block, 0);
  putU16(block, 1210, 0x0080);
  point(block, 0);
  std::vector<std::string> written = rows();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(cells(written[0])[5], "2022-12-31T01:00:00");
  EXPECT_EQ(cells(written[0])[8] + ";" + cells(written[0])[9], "3;18520");
  EXPECT_EQ(cells(written[1])[5], "2022-03-03T01:00:00");
  EXPECT_EQ(cells(written[1])[8] + ";" + cells(written[1])[9], "0;148160");
  EXPECT_EQ(cells(written[2])[8] + ";" + cells(written[2])[9], "2;37040");
}

TEST_F(FlightTrackTest, ModeChangesAreReportedOnce) {
  Bytes block = craftedBlock();
  point(block, 0, 1, 0);  // mode 0 is the start value: nothing reported
  point(block, 0, 1, 4);
  point(block, 0, 1, 4);
  point(block, 0, 1, 9);
  EXPECT_STREQ(track_.modeName(), "???");
  std::vector<std::string> written = rows();
  ASSERT_EQ(written.size(), 4u);
  EXPECT_EQ(cells(written[0])[6] + cells(written[0])[7], "0???");
  EXPECT_EQ(cells(written[3])[6] + cells(written[3])[7], "9???");
  EXPECT_EQ(messages_.all, "-I: Mode=RWS (4)\n-I: Mode=??? (9)\n");
}

TEST_F(FlightTrackTest, WithoutBlocksNothingIsCreated) {
  Bytes block = craftedBlock();
  point(block, -1);
  track_.trackClose();
  EXPECT_FALSE(std::filesystem::exists(textName));
  EXPECT_FALSE(std::filesystem::exists(gpxName));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  EXPECT_EQ(track_.modeName(), nullptr);
  EXPECT_EQ(messages_.all, "");
}

TEST_F(FlightTrackTest, FileColumnFallsBackToTheLastSourceWithoutContext) {
  Bytes block = craftedBlock();
  msg::set_context("first.rec");
  point(block, 0);
  msg::set_context(nullptr);
  point(block, 0);
  std::vector<std::string> written = rows();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0].substr(0, 33), std::string(23, ' ') + "first.rec;");
  EXPECT_EQ(written[1].substr(0, 33), std::string(24, ' ') + "last.rec;");
}

// A navigation block needs 1212 bytes; a shorter cycle is read as if the rest were zero.
TEST_F(FlightTrackTest, ShortCycleIsNotReadBeyondItsExtent) {
  Bytes full = craftedBlock();
  Bytes shortCycle(full.begin(), full.begin() + 400);  // ends inside the latitude
  point(shortCycle, 0);
  std::vector<uint8_t> cut(full.begin(), full.begin() + 1211);  // one byte short of the scale word
  point(cut, 0);
  std::vector<std::string> written = rows();
  ASSERT_EQ(written.size(), 2u);
  std::vector<std::string> first = cells(written[0]);
  EXPECT_EQ(first[2], "0");           // a5tt
  EXPECT_EQ(first[10], "0.00000000");  // lat
  EXPECT_EQ(first[12], "1219");        // alt(m), inside the extent
  EXPECT_EQ(first[16], "0.000000");    // vx
  EXPECT_EQ(cells(written[1])[8] + ";" + cells(written[1])[9], "0;148160");
  EXPECT_EQ(cells(written[1])[10], "48.49999996");
}

TEST_F(FlightTrackTest, FilesThatCannotBeCreatedAreReportedOnceEachAndNothingIsWritten) {
  std::string destination = "missing-dir/a-cv.out";
  FlightTrack track{destination, lastSource_, testOutputs()};
  Bytes block = craftedBlock();
  track.trackPoint(block.data(), block.size(), 0, 1, 4);
  track.trackPoint(block.data(), block.size(), 0, 1, 4);
  track.trackClose();
  EXPECT_EQ(messages_.all.rfind("-E: opening file missing-dir/track-a-cv.out.txt -- ", 0), 0u)
      << messages_.all;
  EXPECT_NE(messages_.all.find("\n-E: opening file missing-dir/track-a-cv.out.gpx -- "),
            std::string::npos) << messages_.all;
  EXPECT_EQ(std::count(messages_.all.begin(), messages_.all.end(), '\n'), 2);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

// The GPX file does not depend on the table: it is still made, and holds an empty track.
TEST_F(FlightTrackTest, WithoutTheTableTheGpxTrackStaysEmpty) {
  std::filesystem::create_directory(textName);  // takes the table's name
  Bytes block = craftedBlock();
  point(block, 0);
  point(block, 0);
  track_.trackClose();
  EXPECT_EQ(messages_.all.rfind("-E: opening file track-a-cv.out.txt -- ", 0), 0u) << messages_.all;
  EXPECT_EQ(std::count(messages_.all.begin(), messages_.all.end(), '\n'), 1) << messages_.all;
  std::string gpx = slurp(gpxName);
  EXPECT_EQ(gpx.find("<trkpt"), std::string::npos);
  const std::string emptyTrack =
      "<trk>\n<name>FT-track-a-cv.out.gpx</name>\n<trkseg>\n</trkseg>\n</trk>\n</gpx>\n";
  ASSERT_GT(gpx.size(), emptyTrack.size());
  EXPECT_EQ(gpx.substr(gpx.size() - emptyTrack.size()), emptyTrack);
  EXPECT_EQ(track_.timeText(), "");
}

// The year comes from the first source's name date; hours past midnight run into the next days.
struct CalendarCase {
  const char* sourceName;
  unsigned day, month;
  uint16_t twoSeconds;
  const char* text;  // the time text in the table
  bool gpxTime;      // whether the GPX point carries it
};

class FlightTrackCalendar : public FlightTrackTest, public testing::WithParamInterface<CalendarCase> {};

TEST_P(FlightTrackCalendar, TimeTextAndGpxTime) {
  const CalendarCase& c = GetParam();
  track_.setFirstSourceName(c.sourceName);
  Bytes block = navigationBlock();
  setTime(block, c.day, c.month, c.twoSeconds);
  point(block, 0);
  std::vector<std::string> written = rows();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(cells(written[0])[5], c.text);
  EXPECT_EQ(track_.timeText(), c.text);
  std::string gpx = slurp(gpxName);
  EXPECT_EQ(gpx.find(std::string("<time>") + c.text + ".0</time></trkpt>") != std::string::npos,
            c.gpxTime) << gpx;
  EXPECT_EQ(gpx.find("<time>") != std::string::npos, c.gpxTime) << gpx;
}

INSTANTIATE_TEST_SUITE_P(
    Dates, FlightTrackCalendar,
    testing::Values(
        CalendarCase{"_19-05-17-10-30-00_3.rec", 17, 5, 18915, "2019-05-17T10:30:30", true},
        CalendarCase{"D:\\rec\\_19-05-17-10-30-00_3.rec", 17, 5, 0, "2019-05-17T00:00:00", true},
        CalendarCase{"rec/_23-06-30-23-59-00_1.rec", 30, 6, 43201, "2023-07-01T00:00:02", true},
        CalendarCase{"_21-12-31-23-59-00_1.rec", 31, 12, 43201, "2022-01-01T00:00:02", true},
        CalendarCase{"_21-12-31-23-59-00_1.rec", 1, 1, 1800, "2022-01-01T01:00:00", true},
        CalendarCase{"_24-02-28-22-00-00_1.rec", 28, 2, 45000, "2024-02-29T01:00:00", true},
        CalendarCase{"_24-02-29-10-00-00_1.rec", 29, 2, 45000, "2024-03-01T01:00:00", true},
        CalendarCase{"_23-02-28-22-00-00_1.rec", 28, 2, 45000, "2023-03-01T01:00:00", true},
        CalendarCase{"rec01.dat", 29, 2, 45000, "2022-02-29T25:00:00", false},
        CalendarCase{"x_19-05-17-10-30-00_3.rec", 31, 4, 0, "2022-04-31T00:00:00", false},
        CalendarCase{"_19-05-17-10-30_3.rec", 1, 13, 1, "2022-13-01T00:00:02", false}));

// Texts in the GPX document are well-formed XML whatever bytes the name holds.
TEST(XmlText, EscapesMarkupAndReplacesWhatIsNotUtf8) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"plain/track-a-cv.out.gpx", "plain/track-a-cv.out.gpx"},
      {"a&b<c>d\"e'f", "a&amp;b&lt;c&gt;d&quot;e&apos;f"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"x\xFFy", "x" + fffd + "y"},
      {"\xC0\xAF", fffd + fffd},          // overlong "/"
      {"\xED\xA0\x80", fffd + fffd + fffd},  // a surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // beyond U+10FFFF
      {"end\xE2\x82", "end" + fffd + fffd},  // cut short
      {"\xEF\xBF\xBE", fffd + fffd + fffd},  // U+FFFE is no XML character
      {std::string("a\x01\tb\0c", 6), "a" + fffd + "\tb" + fffd + "c"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(xmlText(text), expected) << text;
}

TEST(OutputNames, ProductsLieBesideTheDestination) {
  struct Case {
    const char* destination;
    const char* track;
    const char* video;
  };
  const Case cases[] = {
      {"a-cv.out", "track-a-cv.out.txt", "v.avi"},
      {"dir/out.bin", "dir/track-out.bin.txt", "dir/v.avi"},
      {"/abs/dir.x/out", "/abs/dir.x/track-out.txt", "/abs/dir.x/v.avi"},
      {"D:\\rec\\out.bin", "D:\\rec\\track-out.bin.txt", "D:\\rec\\v.avi"},
      {"C:out.bin", "C:track-out.bin.txt", "C:v.avi"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outputName("track", c.destination, "txt"), c.track);
    EXPECT_EQ(besideDestination(c.destination, "v.avi"), c.video);
  }
}

TEST_F(FlightTrackTest, PointsOutsideTheGpxRangesStayInTheTableOnly) {
  const std::pair<double, double> positions[] = {{100.0, 10.0}, {-33.9, -70.5}, {-100.0, -10.0}, {0.0, 0.0}};
  for (auto [latitude, longitude] : positions) {
    Bytes block = craftedBlock();
    setDegrees(block, latitude, longitude);
    point(block, 0);
  }
  EXPECT_EQ(rows().size(), 4u);
  std::string gpx = slurp(gpxName);
  EXPECT_EQ(std::count(gpx.begin(), gpx.end(), '\n'), 5 + 2 + 3) << gpx;
  EXPECT_NE(gpx.find("<trkpt lat=\"-33.900000\" lon=\"-70.500000\">"), std::string::npos) << gpx;
  EXPECT_NE(gpx.find("<trkpt lat=\"0.000000\" lon=\"0.000000\">"), std::string::npos) << gpx;
}

TEST_F(FlightTrackTest, OddDestinationNamesGiveAnEscapedTrackName) {
  std::string destination = "odd &<>\"' \xFF name.out";
  FlightTrack track{destination, lastSource_, testOutputs()};
  Bytes block = craftedBlock();
  track.trackPoint(block.data(), block.size(), 0, 1, 4);
  track.trackClose();
  std::string gpx = slurp("track-" + destination + ".gpx");
  EXPECT_NE(gpx.find("<name>FT-track-odd &amp;&lt;&gt;&quot;&apos; \xEF\xBF\xBD name.out.gpx</name>"),
            std::string::npos) << gpx;
}

// Stress tracks against the published GPX 1.1 schema, when xmllint is installed. The files are
// kept in gpx-stress/ of the build folder for other tools.
TEST(GpxSchema, StressTracksValidate) {
  if (std::system("command -v xmllint >/dev/null 2>&1") != 0) GTEST_SKIP() << "xmllint not installed";
  const std::filesystem::path out = std::filesystem::path(TARSEL_BINARY_DIR) / "gpx-stress";
  std::filesystem::remove_all(out);
  std::filesystem::create_directories(out);
  const std::string schema = std::string(TARSEL_SOURCE_DIR) + "/tests/data/gpx-1.1.xsd";
  struct Stress {
    std::string name, source;
    std::vector<std::array<int, 5>> points;  // day, month, two-second units, lat, lon (degrees)
  };
  const Stress tracks[] = {
      {"midnight", "_19-05-17-23-50-00_1.rec", {{17, 5, 43195, 48, 11}, {17, 5, 43200, 48, 11}, {17, 5, 43300, 48, 11}}},
      {"year-end", "_21-12-31-23-00-00_1.rec", {{31, 12, 43190, 60, 25}, {31, 12, 43210, 60, 25}, {1, 1, 10, 60, 25}}},
      {"leap-day", "_24-02-28-23-00-00_1.rec", {{28, 2, 43200, 1, 1}, {29, 2, 43200, 1, 1}, {29, 2, 60000, 1, 1}}},
      {"south-west", "_22-07-01-10-00-00_1.rec", {{1, 7, 100, -34, -58}, {1, 7, 101, -90, -179}, {1, 7, 102, 100, 10}}},
      {"no-date", "rec.dat", {{0, 0, 0, 10, 10}, {31, 2, 0, 10, 10}, {30, 15, 65535, 10, 10}}},
      {"odd &<>\"' \xFF\x01 name", "_19-05-17-10-00-00_1.rec", {{17, 5, 1, 48, 11}}},
  };
  for (const Stress& t : tracks) {
    std::string destination = (out / t.name).string();
    std::string last = "last.rec";
    {
      FlightTrack track{destination, last, testOutputs()};
      track.setFirstSourceName(t.source);
      for (const auto& p : t.points) {
        Bytes block = craftedBlock();
        setTime(block, p[0], p[1], static_cast<uint16_t>(p[2]));
        setDegrees(block, p[3], p[4]);
        track.trackPoint(block.data(), block.size(), 0, 1, 4);
      }
    }
    std::string gpx = outputName("track", destination, "gpx");
    std::rename(gpx.c_str(), (out / ("track-" + std::to_string(&t - tracks) + ".gpx")).c_str());
    std::string command = "xmllint --noout --schema '" + schema + "' '" +
                          (out / ("track-" + std::to_string(&t - tracks) + ".gpx")).string() + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string report;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) report += buffer;
    EXPECT_EQ(pclose(pipe), 0) << t.name << ": " << report;
  }
}

}  // namespace
