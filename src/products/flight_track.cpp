// The flight track: one table row and one GPX point per aircraft navigation block.
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "commandline/messages.h"
#include "format/format.h"
#include "products/products.h"

namespace {

constexpr size_t fileBufferSize = 102400;
constexpr unsigned defaultYear = 2022;  // the date word carries no year

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
    "%32s;%8s;%8s;%8s;%8s;%19s;%2s;%4s;%2s;%6s;%11s;%11s;%7s;%11s;%11s;%11s;%11s;%11s;%11s;%11s\n";
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

// The folder part of a path ends after its last "/" or "\", or after a ":" without either.
size_t fileNameStart(const std::string& path) {
  size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) cut = path.find_last_of(':');
  return cut == std::string::npos ? 0 : cut + 1;
}

// A decimal as "%f" writes it, read back: the value the GPX document holds.
double printedValue(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  return std::strtod(text, nullptr);
}

// The GPX 1.1 schema takes latitudes from -90 to 90 and longitudes from -180 up to 180.
bool gpxPosition(double latitude, double longitude) {
  double lat = printedValue(latitude), lon = printedValue(longitude);
  return lat >= -90.0 && lat <= 90.0 && lon >= -180.0 && lon < 180.0;
}

// Characters XML 1.0 allows.
bool xmlCharacter(uint32_t c) {
  if (c < 0x20) return c == '\t' || c == '\n' || c == '\r';
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  return c != 0xFFFE && c != 0xFFFF && c <= 0x10FFFF;
}

// The length of the well-formed UTF-8 sequence at `text[at]` that encodes an XML character,
// 0 when there is none.
size_t utf8Sequence(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : (lead & 0xF0) == 0xE0 ? 3
                : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    c = c << 6 | (byte(at + i) & 0x3F);
  }
  static constexpr uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};  // shorter is overlong
  if (c < smallest[length] || !xmlCharacter(c)) return 0;
  return length;
}

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

std::string besideDestination(const std::string& destination, const std::string& fileName) {
  return destination.substr(0, fileNameStart(destination)) + fileName;
}

std::string outputName(const std::string& prefix, const std::string& destination,
                       const std::string& extension) {
  size_t at = fileNameStart(destination);
  return destination.substr(0, at) + prefix + "-" + destination.substr(at) + "." + extension;
}

std::string xmlText(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    size_t length = utf8Sequence(text, at);
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD, one for each byte that does not fit
      ++at;
      continue;
    }
    switch (text[at]) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out.append(text.substr(at, length));
    }
    at += length;
  }
  return out;
}

struct FlightTrack::Navigation {
  uint32_t tt64, a5tt;
  unsigned month, day, secondsOfDay, hours, minutes, seconds;
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
    secondsOfDay = 2u * w.u16(timeAt);
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

FlightTrack::FlightTrack(const std::string& destinationName, const std::string& lastSourceName,
                         platform::OutputFiles& outputs)
    : destinationName_(destinationName), lastSourceName_(lastSourceName), outputs_(outputs) {}

FlightTrack::~FlightTrack() { trackClose(); }

void FlightTrack::setFirstSourceName(const std::string& sourceName) {
  unsigned n[6];
  std::string base = sourceName.substr(fileNameStart(sourceName));
  bool dated = std::sscanf(base.c_str(), "_%u-%u-%u-%u-%u-%u_", &n[0], &n[1], &n[2], &n[3], &n[4],
                           &n[5]) == 6;
  nameYear_ = dated ? 2000 + n[0] : 0;
  nameMonth_ = dated ? n[1] : 0;
}

void FlightTrack::trackPoint(const uint8_t* flowData, size_t extent, int32_t trackMode,
                             uint32_t batch, uint32_t mode) {
  if (trackMode < 0) return;
  Navigation nav{BlockWords(flowData, extent)};
  if (!opened_) openFiles(nav.tt64);
  if (!text_) return;
  bool write = wanted(trackMode, nav);
  havePrevious_ = true;
  previousSeconds_ = nav.seconds;
  previousLatitude_ = nav.latitude;
  previousLongitude_ = nav.longitude;
  if (!write) return;
  reportMode(mode);
  writePoint(nav, batch, mode, makeTimeText(nav));
}

// The year comes from the name date, one more when the point's month lies before the name's
// (a flight over New Year). Hours of 24 and more run on into the following days. A day and
// month that make no date keep their recorded values and the unreduced hours; answers
// whether the text is a real calendar time.
bool FlightTrack::makeTimeText(const Navigation& nav) {
  using namespace std::chrono;
  unsigned yearNumber = nameYear_ == 0 ? defaultYear : nameYear_ + (nav.month < nameMonth_ ? 1 : 0);
  year_month_day date{year{static_cast<int>(yearNumber)}, month{nav.month}, day{nav.day}};
  char time[64];
  bool calendar = date.ok();
  if (calendar) {
    sys_seconds when = sys_days{date} + seconds{nav.secondsOfDay};
    sys_days dayOf = floor<days>(when);
    year_month_day real{dayOf};
    hh_mm_ss<seconds> clock{when - dayOf};
    calendar = real.ok();
    if (calendar)
      std::snprintf(time, sizeof time, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(real.year()),
                    static_cast<unsigned>(real.month()), static_cast<unsigned>(real.day()),
                    static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                    static_cast<int>(clock.seconds().count()));
  }
  if (!calendar)
    std::snprintf(time, sizeof time, "%04u-%02u-%02uT%02u:%02u:%02u", yearNumber, nav.month, nav.day,
                  nav.hours, nav.minutes, nav.seconds);
  timeText_ = time;
  return calendar;
}

void FlightTrack::trackClose() {
  if (gpx_) std::fputs("</trkseg>\n</trk>\n</gpx>\n", gpx_.get());
  gpx_.close();
  text_.close();
}

// Both files are made at the first block, each on its own: without the table no point is
// written, but the GPX file still gets its prologue and, at the close, its ending.
void FlightTrack::openFiles(uint32_t firstTt64) {
  opened_ = true;
  firstTt64_ = firstTt64;
  std::string textName = outputName("track", destinationName_, "txt");
  text_ = createFile(textName, textBuffer_);
  if (text_)
    std::fprintf(text_.get(), titleFormat, "file", "batch", "a5tt", "tt64", "dtt64", "time", "M",
                 "Mode", "S", "SC", "lat", "lon", "alt(m)", "thead", "mhead", "ptaz", "vx[m/s]",
                 "vy[m/s]", "vz[m/s]", "tang");
  std::string gpxName = outputName("track", destinationName_, "gpx");
  gpx_ = createFile(gpxName, gpxBuffer_);
  if (gpx_) std::fprintf(gpx_.get(), gpxPrologue, xmlText(gpxName).c_str());
}

// A file that cannot be created is reported once; the run goes on without it.
FlightTrack::File FlightTrack::createFile(const std::string& name, std::unique_ptr<char[]>& buffer) {
  File file = outputs_.open(name, "w");
  if (!file) {
    msg::logSysError(msg::E, "opening file %s", name.c_str());
    return file;
  }
  buffer = std::make_unique<char[]>(fileBufferSize);
  std::setvbuf(file.get(), buffer.get(), _IOFBF, fileBufferSize);
  return file;
}

// The first block of the run is always written; later ones by the filter of their mode.
bool FlightTrack::wanted(int32_t trackMode, const Navigation& nav) const {
  if (trackMode == 0 || !havePrevious_) return true;
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

// A point outside the GPX ranges stays in the table only; without a calendar time the GPX
// point has no time element.
void FlightTrack::writePoint(const Navigation& nav, uint32_t batch, uint32_t mode, bool calendarTime) {
  float trackAngle = static_cast<float>(std::atan2(double(nav.vx), double(nav.vy)) * degreesPerRadian);
  std::fprintf(text_.get(), rowFormat, sourceName(), batch, nav.a5tt, nav.tt64, nav.tt64 - firstTt64_,
               timeText_.c_str(), mode, modeName_, nav.scaleIndex, scaleMetres[nav.scaleIndex],
               nav.latitude, nav.longitude, nav.altitude, nav.trueHeading, nav.magneticHeading,
               nav.antennaAzimuth, double(nav.vx), double(nav.vy), double(nav.vz), double(trackAngle));
  text_.check();
  if (!gpx_ || !gpxPosition(nav.latitude, nav.longitude)) return;
  if (calendarTime)
    std::fprintf(gpx_.get(), "  <trkpt lat=\"%f\" lon=\"%f\"><ele>%f</ele><time>%s.0</time></trkpt>\n",
                 nav.latitude, nav.longitude, nav.altitude, timeText_.c_str());
  else
    std::fprintf(gpx_.get(), "  <trkpt lat=\"%f\" lon=\"%f\"><ele>%f</ele></trkpt>\n", nav.latitude,
                 nav.longitude, nav.altitude);
  gpx_.check();
}

// The run clears the message context before it flushes the last cycles.
const char* FlightTrack::sourceName() const {
  const char* context = msg::context();
  return context ? context : lastSourceName_.c_str();
}
