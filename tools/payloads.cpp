// The contents the synthesiser writes: DSP headers, S-Blocks and their payloads, timer,
// link and video data. All little-endian; offsets are those the consumers read.
#include <algorithm>
#include <cmath>

#include "synth_internal.h"

namespace synth {

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double degToRad = pi / 180.0;
constexpr double headingUnit = 0.005493168;    // degrees per unit of the bus angles
constexpr double positionUnit = 8.381898e-08;  // degrees per unit of latitude and longitude
constexpr double velocityUnit = 1.1627205e-6;  // m/s per unit
constexpr double altitudeUnit = 1.2192;        // metres per unit
constexpr uint32_t markerWord = 0x5A5A5A5A;
constexpr uint32_t endWord = 0xA5A5A5A5;

// Bus mode index (bits 12-15 of the mode word) for a mode number.
uint32_t busModeIndex(uint32_t mode) {
  switch (mode) {
    case 4: return 0;   // rws
    case 5: return 1;   // vs
    case 6: return 2;   // acm
    case 7: return 3;   // tws
    case 2: return 5;   // gm
    case 8: return 6;   // sea1
    case 9: return 7;   // sea2
    case 10: return 8;  // gmti
    case 11: return 9;  // bcn
    case 20: return 10; // agr
    case 13: return 11; // ta
    case 14: return 12; // wa
    case 24: return 14; // ETET
    default: return 4;
  }
}

// Scale index of "EXT CMPC" (1 = 10 NM ... 4 = 80 NM).
uint32_t scaleIndex(uint32_t nm) {
  if (nm <= 10) return 1;
  if (nm <= 20) return 2;
  if (nm <= 40) return 3;
  return 4;
}

// A 32-bit bus value: two 16-bit words, the high half first.
void putHighFirst(uint8_t* p, uint32_t v) {
  put16(p, static_cast<uint16_t>(v >> 16));
  put16(p + 2, static_cast<uint16_t>(v & 0xFFFF));
}

int16_t angleUnits(double degrees) {
  double wrapped = std::remainder(degrees, 360.0);
  return static_cast<int16_t>(std::lround(std::clamp(wrapped / headingUnit, -32768.0, 32767.0)));
}

double antennaAzimuth(const BatchState& s) { return 55.0 * std::sin(2 * pi * (s.batch % 64) / 64.0); }

// Packs message bytes four to a word, the first in the most significant byte; a word
// that would read as a marker is nudged so that it cannot be taken for one.
void packMessage(uint8_t* words, const uint8_t* bytes, uint32_t count) {
  for (uint32_t k = 0; k * 4 < count; ++k) {
    uint32_t w = 0;
    for (uint32_t j = 0; j < 4; ++j) {
      uint32_t i = 4 * k + j;
      w |= static_cast<uint32_t>(i < count ? bytes[i] : 0) << (24 - 8 * j);
    }
    if (w == markerWord || w == endWord) w ^= 1;
    put32(words + 4 * k, w);
  }
}

void putS16(uint8_t* p, double value) {
  put16(p, static_cast<uint16_t>(static_cast<int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)))));
}

}  // namespace

uint64_t mix(uint64_t seed, uint64_t a, uint64_t b, uint64_t c) {
  uint64_t z = seed ^ (a * 0x9E3779B97F4A7C15ULL) ^ (b * 0xC2B2AE3D27D4EB4FULL) ^ (c * 0x165667B19E3779F9ULL);
  z += 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

void buildDspHeader(uint8_t* out, const BatchState& s) {
  std::memset(out, 0, hdrBytes);
  auto word = [out](uint32_t n, uint32_t v) { put32(out + 4 * n, v); };
  auto real = [out](uint32_t n, double v) { putFloat(out + 4 * n, static_cast<float>(v)); };
  word(0, 0x00020001);  // header version
  word(1, s.secs);       // time of day where a layout has no header flow
  word(2, s.iteration);
  word(hdrMagicWord, hdrMagic);
  word(hdrLengthWord, hdrBytes - 44);
  word(hdrBatchWord, s.batch);
  word(hdrTagWord, s.tag);
  word(hdrRowsWord, s.rows);
  word(hdrColsWord, s.cols);
  word(hdrModeCodeWord, s.mode);
  word(hdrRadarModeWord, s.mode);
  word(35, s.waveform);
  word(41, s.waveform + 1);          // phase
  word(42, s.batch % 4);             // sub-phase
  word(43, static_cast<uint32_t>(mix(s.seed, s.batch, 43) % 256));  // resource id
  word(hdrTimeOfDayWord, s.secs);
  real(hdrLatWord, s.latitude * degToRad);
  real(hdrLonWord, s.longitude * degToRad);
  word(hdrAntennaTagWord, s.antennaTag);
  real(113, s.heading * degToRad);   // navigation pair: heading, pitch
  real(114, 0.02 * std::sin(s.batch * 0.05));
  real(115, antennaAzimuth(s) * degToRad);  // antenna pair: azimuth, elevation
  real(116, -2.0 * degToRad);
  real(117, s.altitude);
  real(118, s.speed);
  real(121, std::sin(antennaAzimuth(s) * degToRad));  // direction cosines
  real(122, std::sin(-2.0 * degToRad));
  word(228, s.tag - 156);            // second time tag, 10 ms earlier
  real(235, s.heading);
  real(236, antennaAzimuth(s));
  real(300, 1.5);
  real(301, 2.25);
  real(302, 0.75);
}

uint32_t buildExtRecords(uint8_t* out, const BatchState& s) {
  uint8_t* p = out;
  std::memcpy(p, "EXT CMPC", 8);
  put32(p + 8, 1);
  put32(p + 12, extCmpcBytes);
  uint8_t* cmpc = p + 16;
  std::memset(cmpc, 0, extCmpcBytes);
  put32(cmpc + 0, s.batch);
  put32(cmpc + 4, s.mode);
  put32(cmpc + 8, scaleIndex(s.scaleNm));
  put32(cmpc + 12, s.waveform);
  put32(cmpc + 24, s.standby ? 1 : 0);  // standby
  put32(cmpc + 28, s.standby ? 0 : 1);  // radiating
  p += 16 + extCmpcBytes;

  std::memcpy(p, "EXT SARR", 8);
  put32(p + 8, 1);
  put32(p + 12, extSarrBytes);
  uint8_t* sarr = p + 16;
  std::memset(sarr, 0, extSarrBytes);
  put32(sarr, s.mode == 21 ? s.waveform : 0);
  putFloat(sarr + 20, 1.5f);
  putFloat(sarr + 24, 0.75f);
  putFloat(sarr + 28, 2.25f);
  p += 16 + extSarrBytes;
  return static_cast<uint32_t>(p - out);
}

void buildFirmwareHeader(uint8_t* out, const BatchState& s) {
  std::memset(out, 0, 4096);
  buildDspHeader(out, s);
  buildExtRecords(out + hdrBytes, s);
}

uint32_t frameSBlock(uint8_t* out, const char* name, uint32_t payloadBytes, uint32_t batch, uint32_t tag,
                     uint32_t serial) {
  std::memset(out, 0, sblockHeaderSize);
  std::memset(out, 0x5A, 8);
  put32(out + 8, serial);
  put32(out + 12, 0x00010000);
  put32(out + 20, 128 + payloadBytes);
  put32(out + 36, serial);   // word 9
  put32(out + 40, batch);    // word 10: the batch the data belongs to
  put32(out + 44, tag);      // word 11
  put32(out + 56, payloadBytes);  // word 14
  std::strncpy(reinterpret_cast<char*>(out + sblockNameOffset), name, 16);
  std::memset(out + sblockHeaderSize + payloadBytes, 0xA5, 8);
  return sblockOverhead + payloadBytes;
}

uint32_t alignedPayload(uint32_t used, uint32_t minimum) {
  uint32_t end = used + sblockOverhead + minimum;
  uint32_t padded = (end + blockDataSize - 1) / blockDataSize * blockDataSize;
  return minimum + (padded - end);
}

void buildD1553(uint8_t* p, const BatchState& s) {
  std::memset(p, 0, d1553Bytes);
  putHighFirst(p + 0, s.tag);                                   // tt64
  put16(p + 50, static_cast<uint16_t>((s.day << 10) | (s.month << 6)));
  put16(p + 52, static_cast<uint16_t>(s.secs / 2));             // time of day, 2 s units
  put16(p + 104, static_cast<uint16_t>((busModeIndex(s.mode) << 12) | (s.standby ? 0x40 : 0) | 0x01));
  put16(p + 236, static_cast<uint16_t>(angleUnits(s.heading)));        // true heading
  put16(p + 238, static_cast<uint16_t>(angleUnits(s.heading - 2.5)));  // magnetic heading
  put16(p + 250, static_cast<uint16_t>(std::lround(std::max(0.0, s.altitude) / altitudeUnit)));
  putHighFirst(p + 278, static_cast<uint32_t>(static_cast<int32_t>(std::lround(s.latitude / positionUnit))));
  putHighFirst(p + 282, static_cast<uint32_t>(static_cast<int32_t>(std::lround(s.longitude / positionUnit))));
  put16(p + 298, static_cast<uint16_t>(s.tag & 0xFFFF));        // a5tt
  double h = s.heading * degToRad;
  putHighFirst(p + 300, static_cast<uint32_t>(static_cast<int32_t>(std::lround(s.speed * std::sin(h) / velocityUnit))));
  putHighFirst(p + 304, static_cast<uint32_t>(static_cast<int32_t>(std::lround(s.speed * std::cos(h) / velocityUnit))));
  putHighFirst(p + 308, 0);
  put16(p + 312, static_cast<uint16_t>(angleUnits(antennaAzimuth(s))));  // antenna azimuth
  put16(p + 1066, static_cast<uint16_t>((4 - scaleIndex(s.scaleNm)) << 6));
}

void buildCdpsts(uint8_t* p, const BatchState& s) {
  static const uint32_t bodies[] = {8, 8, 8, 60, 80, 812, 272, 172, 68};
  std::memset(p, 0, cdpstsBytes);
  put32(p, 0x43445053);
  uint32_t pos = 32;
  for (uint32_t body : bodies) {
    put32(p + pos, 0xFFFF0000);
    put32(p + pos + 4, body);
    pos += 16 + body;
  }
  put32(p + 72, s.batch);
  put32(p + 76, s.tag);
  put32(p + 120, s.mode);
  put32(p + 136, s.standby ? 0 : 1);  // radiating
  put32(p + 148, s.waveform);
  put32(p + 152, 0);                   // health: all good
  put32(p + 332, static_cast<uint32_t>(mix(s.seed, s.batch, 332) % 5));  // detections
}

uint32_t beamValue(const BatchState& s, uint32_t k) { return 200 + (s.batch * 13 + k * 97) % 1800; }

void buildAesaTx(uint8_t* p, const BatchState& s) {
  std::memset(p, 0, aesaTxBytes);
  put32(p, 2 * s.beams);
  put32(p + 4, s.batch);
  uint8_t* w = p + 32;
  for (uint32_t k = 0; k < s.beams; ++k) {
    uint8_t beam[31] = {};
    beam[0] = 0x82;
    beam[1] = static_cast<uint8_t>(k & 0x7F);
    beam[2] = static_cast<uint8_t>(k);
    uint32_t value = beamValue(s, k);
    beam[3] = static_cast<uint8_t>(value);
    beam[4] = static_cast<uint8_t>(value >> 8);
    beam[5] = static_cast<uint8_t>(s.tag);
    beam[6] = static_cast<uint8_t>(s.tag >> 8);
    double az = (antennaAzimuth(s) + (k - s.beams / 2.0) * 3.0) * degToRad;
    double positions[6] = {std::sin(az), std::sin(-2 * degToRad), std::cos(az), 0.25, -0.25, 0.5};
    for (int j = 0; j < 6; ++j) putS16(beam + 7 + 2 * j, positions[j] * 32767.0);
    for (int j = 19; j < 31; ++j) beam[j] = static_cast<uint8_t>(mix(s.seed, s.batch, k, j));
    put32(w, markerWord);
    put32(w + 4, (31u << 16) | (k % 2 ? 0x028B : 0x028A));
    packMessage(w + 8, beam, 31);
    w += 8 + 32;
    uint8_t index[4] = {0x88, 0x00, static_cast<uint8_t>(k), 0x00};
    put32(w, markerWord);
    put32(w + 4, (4u << 16) | 0x0188);
    packMessage(w + 8, index, 4);
    w += 12;
  }
  put32(w, endWord);
}

namespace {
// One response: marker, message bytes, status word (length in bits 16-31).
uint8_t* putResponse(uint8_t* w, const uint8_t* bytes, uint32_t count) {
  put32(w, markerWord);
  packMessage(w + 4, bytes, count);
  uint32_t words = (count + 3) / 4;
  put32(w + 4 + 4 * words, count << 16);
  return w + 8 + 4 * words;
}
}  // namespace

void buildAesaRx(uint8_t* p, const BatchState& s) {
  std::memset(p, 0, aesaRxBytes);
  put32(p + 0, s.iteration + 1);                 // updates
  put32(p + 4, s.standby ? 1 : 3);               // state
  put32(p + 12, 0);                              // errors
  put32(p + 16, (s.iteration + 1) * s.beams);    // programmings
  put32(p + 28, (s.iteration + 1) * 2);
  put32(p + 32, 0xFFFFFFFF);                     // negative: no PRI error
  uint8_t* w = p + 76;
  const uint8_t ctiStatus[6] = {0x70, 0x00, 0x05, 0x00, 0x00, 0x00};
  w = putResponse(w, ctiStatus, 6);
  const uint8_t aesaStatus[8] = {0x80, 0x01, 0x00, 0x10, 0x20, 0x30, 0x00, 0x00};
  w = putResponse(w, aesaStatus, 8);
  for (uint32_t k = 0; k < s.beams && k < 64; ++k) {
    const uint8_t rfif[4] = {0x62, static_cast<uint8_t>(k & 0x7F), static_cast<uint8_t>(s.batch), 0x01};
    w = putResponse(w, rfif, 4);
  }
  put32(w, endWord);
}

void buildTimer(uint8_t* out, const BatchState& s) {
  std::memset(out, 0, timerBytes);
  auto word = [out](uint32_t n, uint32_t v) { put32(out + 4 * n, v); };
  word(0, 0x12345678);
  word(4, 0x54494D45);  // "EMIT"
  put16(out + 48, static_cast<uint16_t>(s.beams));  // programming table entries
  put16(out + 50, 2);
  word(20, 1000 + s.mode);
  const uint32_t minimumDelay = 150;
  for (uint32_t k = 0; k < 8; ++k) word(32 + k, 0xFFFFF);
  word(32, 120);
  word(33, minimumDelay);
  for (uint32_t k = 0; k < 8; ++k) {
    word(192 + k, 1000 + 25 * k);
    word(320 + k, 40 + k);
    word(328 + k, 80 + k);
  }
  uint32_t prt = s.tag * 10;
  word(1280, prt);
  uint32_t programmings = s.beams > 1 ? std::min(s.beams - 1, 127u) : s.beams;
  for (uint32_t k = 0; k < programmings; ++k)
    word(1281 + k, prt + minimumDelay + 20 + 400 * k + static_cast<uint32_t>(mix(s.seed, s.batch, k, 1280) % 30));
}

void buildExtLink(uint8_t* out, const BatchState& s) {
  std::memset(out, 0, extLinkBytes);
  put32(out, 0x45584C4B);
  put32(out + 4, s.batch);
  put32(out + 8, s.tag);
  uint8_t* w = out + 32;
  // A status message first, then the synthesizer frequencies of all but the last beam.
  put32(w, markerWord);
  put32(w + 4, 0xB0C1);
  put32(w + 8, s.batch);
  put32(w + 12, 0);
  w += 16;
  uint32_t n = s.beams > 0 ? std::min(s.beams - 1, 127u) : 0;
  put32(w, markerWord);
  put32(w + 4, 0xA0A1);
  put32(w + 8, s.batch);
  put32(w + 12, n);
  for (uint32_t k = 0; k < n; ++k) put32(w + 16 + 4 * k, (beamValue(s, k) + 3920) * 250000u);
  w += 16 + 4 * n;
  put32(w, endWord);
}

void buildLink(uint8_t* out, uint32_t bytes, uint32_t salt, const BatchState& s) {
  put32(out, 0x4C4E4B00 | (salt & 0xFF));
  put32(out + 4, s.batch);
  put32(out + 8, s.tag);
  put32(out + 12, bytes);
  uint32_t x = static_cast<uint32_t>(mix(s.seed, s.batch, salt));
  for (uint32_t k = 16; k + 4 <= bytes; k += 4) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    put32(out + k, (k & 0x3C) == 0 ? (k / 64) | (salt << 24) : x);
  }
}

SampleTable::SampleTable(uint64_t seed, uint32_t rows, uint32_t cols) : cols_(cols) {
  const uint32_t spareRows = 64;
  words_.resize(static_cast<size_t>(rows + spareRows) * cols + 64);
  const uint32_t targets = 4;
  uint32_t targetCol[targets];
  double doppler[targets], amplitude[targets];
  for (uint32_t t = 0; t < targets; ++t) {
    targetCol[t] = cols * (t + 1) / (targets + 1);
    doppler[t] = (static_cast<double>(mix(seed, 7, t) % 1000) / 1000.0 - 0.5) * 0.8;
    amplitude[t] = 2000.0 + 1500.0 * t;
  }
  uint64_t x = mix(seed, 0x5EED);
  for (size_t i = 0; i < words_.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    uint32_t r = static_cast<uint32_t>(x);
    uint32_t col = static_cast<uint32_t>(i % cols);
    uint32_t row = static_cast<uint32_t>(i / cols);
    // Noise: the sum of two uniform values is a rough bell; clutter fades with range.
    double clutter = col < cols / 8 ? 1200.0 * (1.0 - 8.0 * col / cols) : 0.0;
    double re = ((r & 0x3FF) + ((r >> 10) & 0x3FF)) - 1023.0;
    double im = (((r >> 20) & 0x3FF) + ((r >> 4) & 0x3FF)) - 1023.0;
    re *= 0.4;
    im *= 0.4;
    re += clutter;
    for (uint32_t t = 0; t < targets; ++t) {
      if (col + 1 >= targetCol[t] && col <= targetCol[t] + 1) {
        double phase = 2 * pi * doppler[t] * row;
        double a = col == targetCol[t] ? amplitude[t] : amplitude[t] / 3;
        re += a * std::cos(phase);
        im += a * std::sin(phase);
      }
    }
    uint32_t w = static_cast<uint16_t>(static_cast<int16_t>(re)) |
                 (static_cast<uint32_t>(static_cast<uint16_t>(static_cast<int16_t>(im))) << 16);
    // No byte 0x5A (a marker needs four in a row) and no zero word (a zero run is damage).
    for (int b = 0; b < 32; b += 8)
      if (((w >> b) & 0xFF) == 0x5A) w ^= 1u << b;
    if (w == 0) w = 0x00010001;
    words_[i] = w;
  }
}

const uint8_t* SampleTable::matrix(int stream, uint32_t batch) const {
  uint32_t startRow = (batch * 3 + static_cast<uint32_t>(stream) * 11) % 64;
  uint32_t shift = batch % 16;  // targets move one range bin per batch
  return reinterpret_cast<const uint8_t*>(words_.data() + static_cast<size_t>(startRow) * cols_ + shift);
}

VideoPainter::VideoPainter() : base_(videoWidth * videoHeight, 0), palette_(1024) {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t colour = (i / 3) << 16 | i << 8;  // blue low byte, green, red
    if (i == 255) colour = 0x00FFFFFF;
    put32(palette_.data() + 4 * i, colour);
  }
  const double cx = 320, cy = 500;
  for (uint32_t y = 0; y < videoHeight; ++y) {
    for (uint32_t x = 0; x < videoWidth; ++x) {
      double dx = x - cx, dy = cy - y;
      double r = std::sqrt(dx * dx + dy * dy);
      double bearing = std::atan2(dx, dy) / degToRad;
      uint8_t v = 8;
      if (std::fabs(bearing) > 60) v = 0;
      else if (std::fmod(r, 120.0) < 1.0) v = 96;
      else if (std::fabs(std::remainder(bearing, 30.0)) < 0.15) v = 64;
      if (y < 2 || y >= videoHeight - 2 || x < 2 || x >= videoWidth - 2) v = 128;
      base_[y * videoWidth + x] = v;
    }
  }
}

void VideoPainter::paint(uint8_t* out, uint32_t n, uint64_t seed) const {
  std::memset(out, 0, videoPixelOffset);
  put32(out, n);
  put32(out + 4, videoWidth);
  put32(out + 8, videoHeight);
  put32(out + 12, videoWidth);  // row stride
  std::memcpy(out + videoPaletteOffset, palette_.data(), palette_.size());
  uint8_t* pixels = out + videoPixelOffset;
  std::memcpy(pixels, base_.data(), base_.size());
  auto plot = [pixels](int x, int y, uint8_t v) {
    if (x >= 0 && y >= 0 && x < static_cast<int>(videoWidth) && y < static_cast<int>(videoHeight))
      pixels[y * videoWidth + x] = v;
  };
  const double cx = 320, cy = 500;
  double sweep = (-60.0 + (n * 4) % 120) * degToRad;
  for (int r = 0; r < 480; ++r)
    plot(static_cast<int>(cx + r * std::sin(sweep)), static_cast<int>(cy - r * std::cos(sweep)), 200);
  for (uint32_t t = 0; t < 3; ++t) {
    double range = 150 + 90 * t + (n * 2 + mix(seed, t) % 50) % 100;
    double bearing = (-30.0 + 25.0 * t + 0.5 * (n % 40)) * degToRad;
    int x = static_cast<int>(cx + range * std::sin(bearing)), y = static_cast<int>(cy - range * std::cos(bearing));
    for (int dy = -2; dy <= 2; ++dy)
      for (int dx = -2; dx <= 2; ++dx) plot(x + dx, y + dy, 255);
  }
  // A frame counter bar along the top edge.
  for (uint32_t x = 0; x < (n % 64) * 10; ++x) plot(static_cast<int>(x), 4, 180);
}

}  // namespace synth
