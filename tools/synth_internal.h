// Pieces of tarsel-synth shared between its source files (and its tests).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "format/format.h"
#include "synth.h"

namespace synth {

constexpr uint32_t blockDataSize = 256;
constexpr uint32_t blockHeaderSize = 16;
constexpr uint32_t recorderBlockSize = blockHeaderSize + blockDataSize;
constexpr uint8_t blockMarker[6] = {0x5B, 0x53, 0x41, 0x14, 0x54, 0x5D};

constexpr uint8_t sourceDsp = 0x33;   // '3'
constexpr uint8_t sourceSoft = 0x53;  // 'S'
constexpr uint8_t sourceDfe = 0x56;   // 'V'

// DSP header words (word n at byte 4n).
constexpr uint32_t hdrMagicWord = 4;
constexpr uint32_t hdrMagic = 0x30524448;  // "HDR0"
constexpr uint32_t hdrLengthWord = 13;     // header bytes after the first 44, before "EXT " records
constexpr uint32_t hdrBytes = 1424;        // header proper; "EXT " records follow
constexpr uint32_t hdrBatchWord = 24, hdrTagWord = 25, hdrRowsWord = 26, hdrColsWord = 27;
constexpr uint32_t hdrModeCodeWord = 33, hdrRadarModeWord = 34;
constexpr uint32_t hdrTimeOfDayWord = 89;  // timestamp@ 88 (batch@ + 64) + 1
constexpr uint32_t hdrLatWord = 102, hdrLonWord = 103, hdrAntennaTagWord = 112;
constexpr uint32_t softHeaderOffset = 100;  // the copy inside "DSPHDRIN" starts at data word 25

// S-Blocks.
constexpr uint32_t sblockHeaderSize = 144;
constexpr uint32_t sblockOverhead = sblockHeaderSize + 8;  // header and end marker
constexpr uint32_t sblockNameOffset = 68;

// Payload sizes read by the consumers.
constexpr uint32_t d1553Bytes = 1832, cdpstsBytes = 1680, aesaTxBytes = 8224, aesaRxBytes = 4260;
constexpr uint32_t extCmpcBytes = 620, extSarrBytes = 268;
constexpr uint32_t timerBytes = 5632, extLinkBytes = 4096;
constexpr uint32_t videoWidth = 640, videoHeight = 512, videoPaletteOffset = 76, videoPixelOffset = 1100;
constexpr uint32_t videoFrameBytes = videoPixelOffset + videoWidth * videoHeight;

enum class Content { Header, Signal, Soft, SoftDfe, Video, Link, ExtLink, Timer };

/// One flow of the built-in layout, with what the synthesiser writes into it.
struct FlowDef {
  const char* name;
  uint32_t base;
  uint32_t size;
  uint32_t pingpong;
  Content content;
  uint8_t source;       // default recording source
  int stream;           // signal flows: which sample stream (SUM 0, DAZ 1, DEL 2, GUARD 3, DC1DAZ 4, DC1DEL 5)
  uint32_t linkBytes;   // link flows: bytes per cycle
  bool bulky;
};

/// The built-in layout's flows, in layout order.
const std::vector<FlowDef>& builtInFlows();
/// Index of a flow by name, or -1.
int flowIndex(const std::string& name);
/// The first flow (layout order) whose half A or B contains the address, or -1.
int claimingFlow(uint32_t address);
/// Bytes from `halfStart` on that a reader of the layout sorts into flow `index` (capped at its size).
uint32_t ownedBytes(size_t index, uint32_t halfStart);

/// Signal stream names ("SUM", "DAZ", "DEL", "GUARD", "DC1DAZ", "DC1DEL").
const char* streamName(int stream);

/// Everything about one batch that the payloads are made from.
struct BatchState {
  uint32_t iteration = 0;
  uint32_t batch = 0;
  uint32_t tag = 0;
  uint32_t antennaTag = 0;
  uint32_t secs = 0;
  uint32_t mode = 4;
  uint32_t waveform = 2;
  uint32_t rows = 0, cols = 0;
  double latitude = 0, longitude = 0, altitude = 0, heading = 0, speed = 0;  // degrees, metres, m/s
  uint32_t year = 19, month = 5, day = 17;
  uint32_t scaleNm = 40;
  bool standby = false;   // the radar goes to standby after this batch
  uint32_t beams = 6;
  uint64_t seed = 0;
  uint32_t frame = 0;     // video frame number
};

/// Deterministic hash of the seed and a few numbers (splitmix64).
uint64_t mix(uint64_t seed, uint64_t a, uint64_t b = 0, uint64_t c = 0);

/// Little-endian stores and loads of one field at `p`, the field's bytes vouched for by the caller.
inline void put32(uint8_t* p, uint32_t v) { format::putU32At(std::span<uint8_t>(p, 4), 0, v); }
inline void put16(uint8_t* p, uint16_t v) { format::putU16At(std::span<uint8_t>(p, 2), 0, v); }
inline void putFloat(uint8_t* p, float v) { format::putF32At(std::span<uint8_t>(p, 4), 0, v); }
inline uint32_t get32(const uint8_t* p) { return format::u32At(std::span<const uint8_t>(p, 4), 0); }

/// The DSP header record of a batch: hdrBytes bytes.
void buildDspHeader(uint8_t* out, const BatchState& s);
/// The firmware header flow's data: header, "EXT CMPC", "EXT SARR", zeros; 4096 bytes.
void buildFirmwareHeader(uint8_t* out, const BatchState& s);
/// The two "EXT " records; answers their bytes.
uint32_t buildExtRecords(uint8_t* out, const BatchState& s);
/// Frames an S-Block at out (marker, header, name, end marker after payloadBytes); answers its size.
uint32_t frameSBlock(uint8_t* out, const char* name, uint32_t payloadBytes, uint32_t batch, uint32_t tag,
                     uint32_t serial);
/// Payload length that ends a stream of `used` bytes plus one S-Block on a 256-byte boundary.
uint32_t alignedPayload(uint32_t used, uint32_t minimum);

void buildD1553(uint8_t* payload, const BatchState& s);
void buildCdpsts(uint8_t* payload, const BatchState& s);
void buildAesaTx(uint8_t* payload, const BatchState& s);
void buildAesaRx(uint8_t* payload, const BatchState& s);
void buildTimer(uint8_t* out, const BatchState& s);
void buildExtLink(uint8_t* out, const BatchState& s);
void buildLink(uint8_t* out, uint32_t bytes, uint32_t salt, const BatchState& s);
/// Programmed value of beam k (what the synthesizer messages repeat as frequencies).
uint32_t beamValue(const BatchState& s, uint32_t k);

/// Sample tables: plausible c16 matrices (noise plus moving targets), never 0x5A bytes or zero words.
class SampleTable {
 public:
  SampleTable(uint64_t seed, uint32_t rows, uint32_t cols);
  /// The samples of one stream in one batch: rows * cols * 4 bytes (and more behind them).
  const uint8_t* matrix(int stream, uint32_t batch) const;
 private:
  std::vector<uint32_t> words_;
  uint32_t cols_ = 0;
};

/// Video frames: a radar picture with a rotating sweep and moving targets.
class VideoPainter {
 public:
  VideoPainter();
  /// Fills out (videoFrameBytes) with frame number n.
  void paint(uint8_t* out, uint32_t n, uint64_t seed) const;
 private:
  std::vector<uint8_t> base_;
  std::vector<uint8_t> palette_;
};

/// The output stream: a big buffer, numbered files split by size or on request, bit flips.
class RecordingWriter {
 public:
  RecordingWriter(const Scenario& scenario, Manifest& manifest);
  ~RecordingWriter();
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;

  /// Opens the first file; answers an error text or "".
  std::string open();
  /// Appends bytes to the stream.
  void put(const void* data, size_t n);
  /// Appends one recorder block; `bytes` (at most 272) cuts it short.
  inline void block(uint32_t address, uint8_t tag, uint8_t source, const uint8_t* data, uint32_t dataBytes,
                    uint32_t bytes = recorderBlockSize) {
    if (fill_ + recorderBlockSize > buffer_.size()) flush();
    uint8_t* p = buffer_.data() + fill_;
    put32(p, address);
    put32(p + 4, blockSerial_++);
    p[8] = tag;
    p[9] = source;
    std::memcpy(p + 10, blockMarker, 6);
    if (dataBytes >= blockDataSize) {
      std::memcpy(p + 16, data, blockDataSize);
    } else {
      std::memcpy(p + 16, data, dataBytes);
      std::memset(p + 16 + dataBytes, 0, blockDataSize - dataBytes);
    }
    fill_ += bytes;
    ++blocks_;
  }
  /// Stream offset of the next byte.
  uint64_t position() const { return flushed_ + fill_; }
  uint64_t blocks() const { return blocks_; }
  /// Starts a new file at the current position (when the current one holds anything).
  void splitHere();
  /// Flips bits at `rate` per bit from here on, recording them in `record`.
  void setBitFlips(double rate, uint64_t seed, FaultRecord* record);
  /// Writes what is pending, closes, cuts `cutBytes` off the end; answers an error text or "".
  std::string finish(uint32_t cutBytes);
  /// Set when a write failed.
  const std::string& error() const { return error_; }

 private:
  void flush();
  void writeOut(const uint8_t* data, size_t n);
  bool openNext();
  void closeFile();
  void applyBitFlips(uint8_t* data, size_t n, uint64_t start);

  const Scenario& scenario_;
  Manifest& manifest_;
  std::vector<uint8_t> buffer_;
  size_t fill_ = 0;
  uint64_t flushed_ = 0;  // bytes handed to the files (and bit flips)
  uint64_t written_ = 0;  // bytes the files hold
  uint64_t blocks_ = 0;
  uint32_t blockSerial_ = 0;
  std::FILE* file_ = nullptr;
  uint64_t fileBytes_ = 0;
  uint32_t nextIndex_ = 0;
  std::string error_;
  double flipRate_ = 0;
  uint64_t flipRng_ = 0;
  uint64_t nextFlipBit_ = UINT64_MAX;
  FaultRecord* flipRecord_ = nullptr;
};

/// Collects the cycle map while the blocks are written (does nothing without a list to fill).
class CycleMapper {
 public:
  explicit CycleMapper(std::vector<CycleRecord>* cycles) : cycles_(cycles) {}
  /// A cycle queued for writing; answers its number in the map, or -1 when no map is kept.
  int32_t open(const std::string& flow, uint8_t sourceId, uint32_t address, uint32_t bytes, bool complete);
  /// A block of cycle `cycle` (from open) is written at stream offset `offset`.
  void block(int32_t cycle, uint64_t offset);

 private:
  std::vector<CycleRecord>* cycles_;
  std::map<std::pair<std::string, uint8_t>, uint32_t> numbers_;   // next cycle number
  std::map<std::pair<std::string, uint8_t>, size_t> lastStarted_;  // latest cycle whose first block is out
};

/// JSON values of scenario files and manifests; members keep the order they were written in.
using Json = nlohmann::ordered_json;
/// Parses JSON text; answers "JSON error at byte N: ..." or "".
std::string parseJson(const std::string& text, Json& out);

}  // namespace synth
