// The post-process tables: set-up, the block handlers that feed the history items, the block
// statistics and the end report.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "commandline/messages.h"
#include "format/format.h"
#include "post_process_state.h"

using format::f32At;
using format::putF32At;
using format::putU32At;
using format::s16At;
using format::u16At;
using format::u32At;

namespace {

constexpr const char* busModeNames[16] = {"RWS", "VS",   "ACM", "TWS", "4",  "GM", "SEA1", "SEA2",
                                          "GMTI", "BCN", "AGR", "TA",  "WA", "TS", "ETET", "DLY"};
constexpr const char* modeNames[29] = {
    "idle", "ibit", "gm",  "dbs", "rws", "vs",  "acm", "tws",   "sea1", "sea2",
    "gmti", "bcn",  "sam", "ta",  "wa",  "stt", "dtt", "sstt",  "acq",  "ftt",
    "agr",  "sar",  "inv", "dummy", "ETET", "boot", "??", "??", "??"};
constexpr const char* waveformNames[11] = {
    "idle",   "lprf",         "mprf",          "hprf", "lprfnc", "mprf_short", "agr_short",
    "agr_long", "mprf_look_up", "mprf_adaptive", "auto_without_lprf_nc"};
constexpr const char* scaleNames[5] = {"??NM", "10NM", "20NM", "40NM", "80NM"};

// A number outside its table has no name of its own; it shows as "?", like a scale above 4.
template <std::size_t N>
const char* nameIn(const char* const (&table)[N], uint32_t index) {
  return index < N ? table[index] : "?";
}

// "D1553" fields.
constexpr uint32_t busTimeAt = 52, busModeAt = 104, trueHeadingAt = 236, baroAltitudeAt = 250;
constexpr uint32_t latitudeAt = 278, longitudeAt = 282, antennaAzimuthAt = 312;
constexpr double angleUnit = 0.005493168;    // degrees per unit
constexpr double altitudeUnit = 1.2192;      // metres per unit
constexpr double positionUnit = 8.381898e-08;  // degrees per unit
constexpr uint8_t busStandbyBit = 0x40;      // in the low byte of the mode word

// "CDPSTS" fields: the second section's body (batch, time tag), the fourth (mode, "Rad",
// waveform, health) and the sixth (detections).
constexpr uint32_t cdpBatchAt = 72, cdpTagAt = 76, cdpModeAt = 120, cdpRadAt = 136;
constexpr uint32_t cdpWaveformAt = 148, cdpHealthAt = 152, cdpDetectionsAt = 332;
constexpr uint32_t healthComBit = 1u << 24;

// "EXT CMPC" fields.
constexpr uint32_t cmpcScaleAt = 8, cmpcStandbyAt = 24, cmpcRadiatingAt = 28;

// "AESARX" and "AESATX": status words, then the dump.
constexpr uint32_t rxUpdatesAt = 0, rxStateAt = 4, rxErrorsAt = 12;
constexpr uint32_t rxDumpAt = 76, rxDumpSize = 4096;
constexpr uint32_t txDumpAt = 32, txDumpSize = 8192;

// The DSP header copy starts 44 bytes before the "DSPHDRIN" payload (inside the S-Block
// header); word w lies at byte 4w.
constexpr uint32_t headerLead = 44;
constexpr uint32_t hdrBatchWord = 24, hdrRowsWord = 26, hdrColsWord = 27;
constexpr uint32_t hdrModeWord = 33, hdrPhaseWord = 41, hdrSubPhaseWord = 42, hdrResourceWord = 43;
constexpr uint64_t wordAt(uint32_t word) { return 4ull * word; }

// ceil(56 x value) as an unsigned 32-bit count; out-of-range values saturate.
uint32_t sarSteps(float value) {
  double steps = std::ceil(56.0f * value);
  if (!(steps > 0)) return 0;
  if (steps >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(steps);
}

}  // namespace

PostProcessState::PostProcessState(SoftDecoder& decoder, const std::string& lastSourceName,
                                   platform::OutputFiles& outputs)
    : decoder_(decoder), lastSourceName_(lastSourceName), historyFiles_(outputs) {}

PostProcessState::~PostProcessState() {
  cmdio_logger().setStandbyFlag(nullptr);
}

void PostProcessState::setUpPostProcess(int32_t level) {
  level_ = level;
  decoder_.setPostProcessLevel(level);
  cmdio_logger().setStandbyFlag(&standby_);
  install_logger(&cmdio_logger());
  decoder_.setSoftReader(&decoder_.memoryReader());

  decoder_.registerBlockObserver("D1553", this, &PostProcessState::onBus1553);
  decoder_.registerBlockObserver("CDPSTS", this, &PostProcessState::onCdpsts);
  decoder_.registerBlockObserver("SUM", this, &PostProcessState::onSum);
  decoder_.registerBlockObserver("GUARD", this, &PostProcessState::onGuard);
  decoder_.registerBlockObserver("DAZ", this, &PostProcessState::onDaz);
  decoder_.registerBlockObserver("DEL", this, &PostProcessState::onDel);
  decoder_.registerBlockObserver("DSPHDRIN", this, &PostProcessState::onDspHeader);
  decoder_.registerBlockObserver("DISPHEAD", this, &PostProcessState::onDisplayHeader);
  decoder_.registerXinfoObserver("EXT CMPC", this, &PostProcessState::onCompression);
  decoder_.registerXinfoObserver("EXT DETR", this, &PostProcessState::onIgnoredExtension);
  decoder_.registerXinfoObserver("EXT STTD", this, &PostProcessState::onIgnoredExtension);
  decoder_.registerXinfoObserver("EXT MTTR", this, &PostProcessState::onIgnoredExtension);
  decoder_.registerXinfoObserver("EXT SARR", this, &PostProcessState::onSarRecord);
  decoder_.registerBlockObserver("AESATX", this, &PostProcessState::onAesaTx);
  decoder_.registerBlockObserver("AESARX", this, &PostProcessState::onAesaRx);
  decoder_.setBlockCallback([this](uint32_t code, const char* name) { historyHook(code, name); },
                            0);
}

void PostProcessState::decodeRecord(uint32_t sourceId, const char* sourceName,
                                    std::span<uint8_t> record) {
  record_ = record;
  decoder_.decodeSoftRecord(sourceId, sourceName, record.data(), uint32_t(record.size()));
  record_ = {};
}

void PostProcessState::reportPostProcess() {
  auto group = statistics_.groups.find("PP");
  if (group != statistics_.groups.end()) {
    msg::info("%-32.32s: %u", "Postprocess", group->second.count);
    for (const auto& [key, entry] : group->second.entries) {
      if (entry.hasSourceName)
        msg::info("  %-32.32s: %u", key.c_str(), entry.count);
      else
        msg::info("  @%2X:%-28.28s: %u", entry.code, key.c_str(), entry.count);
    }
  }
  if (corruptedBlocks_ != 0) msg::error("%u corrupted signal block(s)", corruptedBlocks_);
}

void PostProcessState::historyHook(uint32_t, const char* name) {
  countEntry(name ? name : "", true);
  emitHistoryLine();
}

void PostProcessState::countEntry(const char* name, bool countGroup) {
  BlockStatistics::Group& group = statistics_.groups["PP"];
  if (countGroup) ++group.count;
  const char* source = decoder_.currentSourceName();
  std::string key = source ? std::string(source) + ":" + name : std::string(name);
  BlockStatistics::Entry& entry = group.entries[key];
  ++entry.count;
  entry.code = decoder_.currentSourceId();
  entry.hasSourceName = source != nullptr;
  entry.sourceName = source ? source : "";
}

bool PostProcessState::readPayload(std::span<uint8_t> destination, const BlockInfo& info) {
  uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(destination.size(), info.size));
  std::fill(destination.begin() + count, destination.end(), uint8_t{0});
  bool read = count == 0 || decoder_.readBlock(destination.first(count), info, count);
  return read && count == destination.size();
}

bool PostProcessState::readPayload(std::span<uint8_t> destination, const XinfoRecord& record) {
  uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(destination.size(), record.size));
  std::fill(destination.begin() + count, destination.end(), uint8_t{0});
  bool read = count == 0 || decoder_.readBlock(destination.first(count), record, count);
  return read && count == destination.size();
}

int PostProcessState::onBus1553(const BlockInfo& info) {
  // A payload shorter than the bus record is reported as the overrun its read would cause and
  // not used: the values stay as they were, and the blocks after it are decoded as usual.
  if (info.size < bus1553Size) {
    decoder_.reportOverrun(info.position + bus1553Size, info.position + info.size);
    return 0;
  }
  if (!decoder_.readBlock(std::span<uint8_t>(bus1553_), info, bus1553Size)) return 0;
  std::span<const uint8_t> bus(bus1553_);
  uint32_t t = u16At(bus, busTimeAt);
  time1553_ = t;
  uint32_t seconds = 2 * t;
  char clock[32];
  std::snprintf(clock, sizeof clock, "%02u:%02u:%02u", seconds / 3600, (seconds % 3600) / 60,
                seconds % 60);
  time_.set(clock);
  busMode_.set(busModeNames[(u16At(bus, busModeAt) >> 12) & 0xF]);
  trueHeading_.set(static_cast<float>(s16At(bus, trueHeadingAt) * angleUnit));
  antennaAzimuth_.set(static_cast<float>(s16At(bus, antennaAzimuthAt) * angleUnit));
  baroAltitude_.set(static_cast<float>(u16At(bus, baroAltitudeAt) * altitudeUnit));
  auto highFirst = [&bus](uint32_t at) {
    return static_cast<int32_t>(uint32_t(u16At(bus, at)) << 16 | u16At(bus, at + 2));
  };
  // The latitude's constant is taken in double precision, the longitude's in single.
  latitude_.set(static_cast<float>(highFirst(latitudeAt) * positionUnit));
  longitude_.set(static_cast<float>(highFirst(longitudeAt)) * static_cast<float>(positionUnit));
  return 0;
}

int PostProcessState::onCdpsts(const BlockInfo& info) {
  readPayload(cdpsts_, info);
  std::span<const uint8_t> status(cdpsts_);
  batch_.set(u32At(status, cdpBatchAt));
  timeTag_.set(u32At(status, cdpTagAt));
  radiating_.set(u32At(status, cdpRadAt));
  uint32_t mode = u32At(status, cdpModeAt);
  mode_.set(mode);
  modeName_.set(nameIn(modeNames, mode));
  uint32_t health = u32At(status, cdpHealthAt);
  health_.set(health);
  healthText_.set((health & healthComBit) ? "COM" : "");
  uint32_t waveform = u32At(status, cdpWaveformAt);
  waveform_.set(waveform);
  waveformName_.set(nameIn(waveformNames, waveform));
  detections_.set(u32At(status, cdpDetectionsAt));
  emitHistoryLine();
  return 0;
}

int PostProcessState::onDspHeader(const BlockInfo& info) {
  if (info.position < headerLead || info.size > UINT32_MAX - headerLead) return 0;
  BlockInfo header = info;
  header.position -= headerLead;
  header.size += headerLead;
  if (headerBuffer_.size() < header.size) headerBuffer_.resize(header.size);
  std::span<uint8_t> buffer(headerBuffer_.data(), header.size);
  std::fill(buffer.begin(), buffer.end(), uint8_t{0});
  decoder_.readExtendedBlock(buffer, header);

  // The words are taken in place, in the record handed to decodeRecord, so that the SAR fix
  // reaches the saved record: the record is the flow's own storage, written after decoding.
  std::span<uint8_t> words = buffer;
  if (decoder_.blockPointer(header) && header.position + header.size <= record_.size())
    words = record_.subspan(header.position, header.size);
  dspMode_.set(u32At(words, wordAt(hdrModeWord)));
  phase_.set(u32At(words, wordAt(hdrPhaseWord)));
  subPhase_.set(u32At(words, wordAt(hdrSubPhaseWord)));
  resourceId_.set(u32At(words, wordAt(hdrResourceWord)));
  if (fixSarHeaders_) applySarFix(words);

  std::size_t kept = std::min<std::size_t>(words.size(), lastHeader_.size());
  std::copy_n(words.begin(), kept, lastHeader_.begin());
  std::fill(lastHeader_.begin() + kept, lastHeader_.end(), uint8_t{0});
  std::span<const uint8_t> copy(lastHeader_);
  uint32_t batch = u32At(copy, wordAt(hdrBatchWord));
  if (firstDspBatch_ == 0) firstDspBatch_ = batch;
  if (level_ > 10)
    msg::warning("DSPHDR %u: Expected signal: [%u,%u]", batch, u32At(copy, wordAt(hdrRowsWord)),
                 u32At(copy, wordAt(hdrColsWord)));
  countEntry("HDR", false);
  return 0;
}

void PostProcessState::applySarFix(std::span<uint8_t> header) {
  std::span<const uint8_t> sarr(sarr_);
  uint32_t a1 = sarSteps(f32At(sarr, wordAt(5)));
  uint32_t a2 = sarSteps(f32At(sarr, wordAt(7)));
  uint32_t a3 = sarSteps(f32At(sarr, wordAt(6)));
  sarFix_ = {a1, a2, a3};
  if (!fixReported_) {
    msg::warning("Fixing SAR headers");
    fixReported_ = true;
  }
  putU32At(header, wordAt(138), u32At(sarr, 0));
  for (uint32_t word : {252u, 253u, 303u, 304u, 305u}) putU32At(header, wordAt(word), 0);
  putF32At(header, wordAt(300), static_cast<float>(a2) / 56.0f);
  putF32At(header, wordAt(301), static_cast<float>(a1) / 56.0f);
  putF32At(header, wordAt(302), static_cast<float>(a3) / 56.0f);
  putU32At(header, wordAt(306), u32At(header, wordAt(103)));
  putU32At(header, wordAt(307), u32At(header, wordAt(102)));
}

int PostProcessState::onDisplayHeader(const BlockInfo& info) {
  if (headerBuffer_.size() < info.size) headerBuffer_.resize(info.size);
  decoder_.readExtendedBlock(std::span<uint8_t>(headerBuffer_.data(), info.size), info);
  countEntry("FPGA-HDR", false);
  return 0;
}

int PostProcessState::onCompression(const XinfoRecord& record) {
  readPayload(cmpc_, record);
  std::span<const uint8_t> cmpc(cmpc_);
  uint32_t scale = u32At(cmpc, cmpcScaleAt);
  scale_.set(scale);
  scaleName_.set(nameIn(scaleNames, scale));
  // The bus mode word's standby bit also means standby, whatever the record says.
  if (u32At(cmpc, cmpcStandbyAt) != 0 || (bus1553_[busModeAt] & busStandbyBit)) {
    standby_ = true;
    standbyText_.set("STBY");
  } else {
    standby_ = false;
    standbyText_.set(u32At(cmpc, cmpcRadiatingAt) != 0 ? "RAD" : "SIL");
  }
  return 0;
}

int PostProcessState::onSarRecord(const XinfoRecord& record) {
  // The payload replaces the start of the table: a longer one is cut to it, and a shorter one
  // leaves the rest of the table (words the SAR fix may read) as the previous record left it.
  uint32_t count = std::min<uint32_t>(sarrSize, record.size);
  if (count != 0) decoder_.readBlock(std::span<uint8_t>(sarr_).first(count), record, count);
  sarWaveform_.set(u32At(sarr_, 0));
  return 0;
}

int PostProcessState::onIgnoredExtension(const XinfoRecord&) { return 0; }

int PostProcessState::onAesaRx(const BlockInfo& info) {
  readPayload(aesaRx_, info);
  std::span<const uint8_t> rx(aesaRx_);
  aesaUpdates_.set(u32At(rx, rxUpdatesAt));
  aesaState_.set(u32At(rx, rxStateAt));
  aesaErrors_.set(u32At(rx, rxErrorsAt));
  aesaResult_.set(decodeAesaResponses(rxState_, aesaRx_.data() + rxDumpAt, rxDumpSize));
  ++rxPending_;
  aesaGood_.set(rxState_.good);
  aesaBad_.set(rxState_.bad);
  return 0;
}

int PostProcessState::onAesaTx(const BlockInfo& info) {
  readPayload(aesaTx_, info);
  decodeAesaCommands(txState_, aesaTx_.data() + txDumpAt, txDumpSize);
  ++txPending_;
  return 0;
}

int PostProcessState::onSum(const BlockInfo& info) { return checkSignal(info, Signal::sum); }
int PostProcessState::onDaz(const BlockInfo& info) { return checkSignal(info, Signal::daz); }
int PostProcessState::onDel(const BlockInfo& info) { return checkSignal(info, Signal::del); }
int PostProcessState::onGuard(const BlockInfo& info) { return checkSignal(info, Signal::guard); }
