// The flight track: one table row and one GPX point per aircraft navigation block.
#include <cmath>

#include "commandline/messages.h"
#include "format/format.h"
#include "products/products.h"

namespace {

constexpr size_t fileBufferSize = 102400;
constexpr unsigned trackYear = 2022;  // the date word carries no year

// Navigation block: offsets from the start of the flow data (the S-Block marker).
constexpr size_t tt64At = 144, dateAt = 194, timeAt = 196, trueHeadingAt = 380;
constexpr size_t magneticHeadingAt = 382, altitudeAt = 394, latitudeAt = 422, longitudeAt = 426;
constexpr size_t a5ttAt = 442, vxAt = 444, vyAt = 448, vzAt = 452, antennaAzimuthAt = 456;
constexpr size_t scaleAt = 1210;

constexpr double angleUnit = 0.005493168;  // degrees
constexpr double altitudeUnit = 1.2192;    // metres
constexpr double positionUnit = 8.381898e-8;
// The longitude has always been scaled by the single-precision value of the position unit.
constexpr double longitudeUnit = static_cast<double>(8.381898e-8f);
constexpr double velocityUnit = static_cast<double>(1.1627205e-6f);  // m/s
constexpr double degreesPerRadian = 57.29577951308232;
constexpr uint32_t scaleMetres[4] = {80 * 1852, 40 * 1852, 20 * 1852, 10 * 1852};

const char* const titleFormat =
    "%32s;%8s;%8s;%8s;%8s;%19s;%2s;%4s;%2s;%6s;%11s;%11s;%7s;%11s;%11s;%11s;%11s;%11s;%11s\n";
const char* const rowFormat =
    "%32s;%8u;%8u;%8u;%8u;%s;%2u;%4s;%2u;%6u;%12.8f;%12.8f;%7.0f;%11.6f;%11.6f;%11.6f;%11.6f;"
    "%11.6f;%11.6f;%11.6f\n";
const char* const gpxPrologue =
    "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n"
    "<gpx version=\"1.1\" creator=\"tarsel\" xmlns=\"http://www.topografix.com/GPX/1/1\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
    "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n"
    "<trk>\n"
    "<name>FT-%s</name>\n"
    "<trkseg>\n";

const char* modeNameOf(uint32_t mode) {
  switch (mode) {
    case 1: return "IBIT";
    case 2: return "GM";
    case 3: return "DBS";
    case 4: return "RWS";
    case 5: return "VS";
    case 6: return "ACM";
    case 7: return "TS";
    case 8: return "SEA1";
    case 14: return "WA";
    case 15: return "STT";
    default: return "???";
  }
}

// Reads the block's 16-bit words; a cycle cut short reads as zeros beyond its extent.
class BlockWords {
 public:
  BlockWords(const uint8_t* data, size_t extent)
      : bytes_(data ? std::span<const uint8_t>(data, extent) : std::span<const uint8_t>()) {}
  uint16_t u16(size_t at) const { return format::u16At(bytes_, at); }
  int16_t i16(size_t at) const { return static_cast<int16_t>(u16(at)); }
  // The word at the lower offset is the high half.
  uint32_t u32(size_t at) const { return uint32_t(u16(at)) << 16 | u16(at + 2); }
  int32_t i32(size_t at) const { return static_cast<int32_t>(u32(at)); }

 private:
  std::span<const uint8_t> bytes_;
};

}  // namespace

struct FlightTrack::Navigation {
  uint32_t tt64, a5tt;
  unsigned month, day, hours, minutes, seconds;
  unsigned scaleIndex;
  double trueHeading, magneticHeading, antennaAzimuth, altitude, latitude, longitude;
  float vx, vy, vz;

  // Angles, altitude and position stay in double precision; the velocities are single.
  explicit Navigation(const BlockWords& w) {
    tt64 = w.u32(tt64At);
    a5tt = w.u16(a5ttAt);
    uint16_t date = w.u16(dateAt);
    day = date >> 10;
    month = (date >> 6) & 0xF;
    unsigned secondsOfDay = 2u * w.u16(timeAt);
    hours = secondsOfDay / 3600;  // not reduced modulo 24
    minutes = secondsOfDay % 3600 / 60;
    seconds = secondsOfDay % 60;
    trueHeading = w.i16(trueHeadingAt) * angleUnit;
    magneticHeading = w.i16(magneticHeadingAt) * angleUnit;
    antennaAzimuth = w.i16(antennaAzimuthAt) * angleUnit;
    altitude = w.u16(altitudeAt) * altitudeUnit;
    latitude = w.i32(latitudeAt) * positionUnit;
    longitude = w.i32(longitudeAt) * longitudeUnit;
    vx = static_cast<float>(w.i32(vxAt) * velocityUnit);
    vy = static_cast<float>(w.i32(vyAt) * velocityUnit);
    vz = static_cast<float>(w.i32(vzAt) * velocityUnit);
    scaleIndex = (w.u16(scaleAt) >> 6) & 3;
  }
};

FlightTrack::FlightTrack(const std::string& destinationName, const std::string& lastSourceName)
    : destinationName_(destinationName), lastSourceName_(lastSourceName) {}

FlightTrack::~FlightTrack() { trackClose(); }

void FlightTrack::trackPoint(const uint8_t* flowData, size_t extent, int32_t trackMode,
                             uint32_t batch, uint32_t mode) {
  if (trackMode < 0) return;
  Navigation nav{BlockWords(flowData, extent)};
  if (!opened_) openFiles(nav.tt64);
  if (!text_) return;
  bool write = wanted(trackMode, nav);
  previousSeconds_ = nav.seconds;
  previousLatitude_ = nav.latitude;
  previousLongitude_ = nav.longitude;
  if (!write) return;
  reportMode(mode);
  char time[32];
  std::snprintf(time, sizeof time, "%04u-%02u-%02uT%02u:%02u:%02u", trackYear, nav.month, nav.day,
                nav.hours, nav.minutes, nav.seconds);
  timeText_ = time;
  writePoint(nav, batch, mode);
}

void FlightTrack::trackClose() {
  if (gpx_) std::fputs("</trkseg>\n</trk>\n</gpx>\n", gpx_.get());
  gpx_.reset();
  text_.reset();
}

// Both files are made at the first block, each on its own: without the table no point is
// written, but the GPX file still gets its prologue and, at the close, its ending.
void FlightTrack::openFiles(uint32_t firstTt64) {
  opened_ = true;
  firstTt64_ = firstTt64;
  std::string textName = "track-" + destinationName_ + ".txt";
  text_ = createFile(textName, textBuffer_);
  if (text_)
    std::fprintf(text_.get(), titleFormat, "file", "batch", "a5tt", "tt64", "dtt64", "time", "M",
                 "Mode", "S", "SC", "lat", "lon", "alt(m)", "thead", "mhead", "ptaz", "vx[m/s]",
                 "vy[m/s]", "vz[m/s]");
  std::string gpxName = "track-" + destinationName_ + ".gpx";
  gpx_ = createFile(gpxName, gpxBuffer_);
  if (gpx_) std::fprintf(gpx_.get(), gpxPrologue, gpxName.c_str());
}

// A file that cannot be created is reported once; the run goes on without it.
FlightTrack::File FlightTrack::createFile(const std::string& name, std::unique_ptr<char[]>& buffer) {
  File file(std::fopen(name.c_str(), "w"));
  if (!file) {
    msg::logSysError(msg::E, "opening file %s", name.c_str());
    return file;
  }
  buffer = std::make_unique<char[]>(fileBufferSize);
  std::setvbuf(file.get(), buffer.get(), _IOFBF, fileBufferSize);
  return file;
}

// The previous values start at 0, so in mode 1 or more a first block at second 0 and
// position 0 is not written.
bool FlightTrack::wanted(int32_t trackMode, const Navigation& nav) const {
  if (trackMode == 0) return true;
  bool secondsDiffer = nav.seconds != previousSeconds_;
  if (trackMode == 1) return secondsDiffer;
  return secondsDiffer || nav.latitude != previousLatitude_ || nav.longitude != previousLongitude_;
}

void FlightTrack::reportMode(uint32_t mode) {
  modeName_ = modeNameOf(mode);
  if (mode == reportedMode_) return;
  msg::info("Mode=%s (%d)", modeName_, static_cast<int>(mode));
  reportedMode_ = mode;
}

void FlightTrack::writePoint(const Navigation& nav, uint32_t batch, uint32_t mode) {
  float trackAngle = static_cast<float>(std::atan2(double(nav.vx), double(nav.vy)) * degreesPerRadian);
  std::fprintf(text_.get(), rowFormat, sourceName(), batch, nav.a5tt, nav.tt64, nav.tt64 - firstTt64_,
               timeText_.c_str(), mode, modeName_, nav.scaleIndex, scaleMetres[nav.scaleIndex],
               nav.latitude, nav.longitude, nav.altitude, nav.trueHeading, nav.magneticHeading,
               nav.antennaAzimuth, double(nav.vx), double(nav.vy), double(nav.vz), double(trackAngle));
  if (gpx_)
    std::fprintf(gpx_.get(), "  <trkpt lat=\"%f\" lon=\"%f\"><ele>%f</ele><time>%s.0</time></trkpt>\n",
                 nav.latitude, nav.longitude, nav.altitude, timeText_.c_str());
}

// The run clears the message context before it flushes the last cycles.
const char* FlightTrack::sourceName() const {
  const char* context = msg::context();
  return context ? context : lastSourceName_.c_str();
}
