// The AESA timing and beam analysis of the timing-unit blocks.
#include "postprocess/aesa_timing.h"

#include <algorithm>
#include <cassert>
#include <cstdarg>

#include "commandline/messages.h"
#include "aesa_catalogue.h"
#include "products/products.h"

namespace {

constexpr uint32_t timerMagic = 0x12345678;
constexpr uint32_t emitWord = 0x54494D45;  // "EMIT"
constexpr uint32_t delayNotSet = 0xFFFFF;
constexpr uint32_t maxProgrammings = 127;  // words 1281 to 1407

// Beam commands are told apart by the low half of their length word, not by their code.
constexpr uint32_t beamCommandA = 0x001F028A, beamCommandB = 0x001F028B;
constexpr std::size_t beamCommandBytes = 31;

// Captured software blocks start with their 144-byte block header.
constexpr std::size_t payloadFirstWord = 144 / 4;
constexpr std::size_t commandDumpFirstWord = 176 / 4, commandDumpEndWord = 8192 / 4;

constexpr std::size_t extLinkFirstWord = 32 / 4, extLinkEndWord = 4096 / 4;
constexpr uint32_t synthKindA = 0xA1, synthKindB = 0xA2;
constexpr uint32_t maxSynthCount = 127;
constexpr uint32_t synthStep = 250000, synthOffset = 3920;

}  // namespace

// The first 5632 bytes of a timer block as words; a block cut short reads as zeros.
class AesaTimingAnalysis::TimerBlock {
 public:
  explicit TimerBlock(AesaBytes bytes) {
    AesaDump dump(bytes.data(), std::min(bytes.size(), timerBlockBytes));
    for (std::size_t i = 0; i < words_.size(); ++i) words_[i] = dump.word(i);
  }
  uint32_t word(std::size_t n) const {
    assert(n < words_.size());
    return words_[n];
  }
  bool valid() const { return words_[0] == timerMagic && words_[4] == emitWord; }
  uint32_t entries() const { return words_[12] & 0xFFFF; }  // A, u16 at byte 48
  uint32_t valueB() const { return words_[12] >> 16; }      // u16 at byte 50
  uint32_t valueG() const { return words_[20]; }
  uint32_t minimumDelay() const { return words_[33]; }      // D
  uint32_t prt() const { return words_[1280]; }             // P0
  // N: the last table entry is not programmed when B is 2 or more; A = 0 wraps to the limit.
  uint32_t programmings() const {
    uint32_t count = valueB() >= 2 ? entries() - 1 : entries();
    return std::min(count, maxProgrammings);
  }
  uint32_t programmingTime(uint32_t k) const { return words_[1280 + k]; }  // k = 1 ... N
  // The smallest margin of a programming over the minimum delay after the PRT reference.
  int32_t slack() const {
    uint32_t n = programmings();
    if (n == 0 || minimumDelay() == delayNotSet) return 0;
    int32_t smallest = 0;
    for (uint32_t k = 1; k <= n; ++k) {
      int32_t margin = static_cast<int32_t>(programmingTime(k) - prt() - minimumDelay());
      if (k == 1 || margin < smallest) smallest = margin;
    }
    return smallest;
  }

 private:
  std::array<uint32_t, timerBlockBytes / 4> words_{};
};

// One timing line, built whole and written at its end.
class AesaTimingAnalysis::Line {
 public:
  __attribute__((format(printf, 2, 3))) void add(const char* format, ...) {
    va_list args, copy;
    va_start(args, format);
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length > 0) {
      std::size_t at = text_.size();
      text_.resize(at + static_cast<std::size_t>(length) + 1);
      std::vsnprintf(text_.data() + at, static_cast<std::size_t>(length) + 1, format, args);
      text_.pop_back();  // the terminator
    }
    va_end(args);
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

AesaTimingAnalysis::AesaTimingAnalysis(const std::string& destinationName,
                                       const std::string& lastSourceName,
                                       platform::OutputFiles& outputs)
    : destinationName_(destinationName), lastSourceName_(lastSourceName), outputs_(outputs) {}

AesaTimingAnalysis::~AesaTimingAnalysis() = default;

void AesaTimingAnalysis::flush() {
  if (timerFile_) std::fflush(timerFile_.get());
  if (antPosFile_) std::fflush(antPosFile_.get());
}

void AesaTimingAnalysis::analyseTimer(AesaBytes timerBytes, AesaBytes aesaTx, AesaBytes aesaRx,
                                      AesaBytes extLink, const AesaTimerContext& context) {
  TimerBlock timer(timerBytes);
  if (!timer.valid()) {
    msg::warning("Timer blob error: 0x%X, 0x%X", timer.word(0), timer.word(4));
    return;
  }
  if (!filesTried_) openFiles();
  // A table of one entry programs nothing worth a line.
  if (timer.entries() == 1) return;
  Line line;
  line.add("%32s;%11s;%8u;%5s;", fileName(), context.timeText ? context.timeText : "",
           context.batch, context.modeName ? context.modeName : "?");
  writeReceiveFields(line, aesaRx, timer.slack());
  uint32_t expected = writeTimerFields(line, timer);
  programmedValues_.fill(0);
  uint32_t beams = 0;
  if (aesaTx.data() != nullptr) {
    beams = takeBeamCommands(aesaTx, expected);
    writeBeamPosition(line, context.header);
  }
  uint32_t synths = takeSynthValues(extLink);
  // Without a command block nothing was programmed that the synthesizer could be held to: the
  // first timer of a run comes before the first command block could be captured.
  if (aesaTx.data() != nullptr)
    compareFrequencies(line, beams, synths);
  else
    line.add("__FRQ;");
  line.add("0\n");
  if (timerFile_) {
    std::fputs(line.text().c_str(), timerFile_.get());
    timerFile_.check();
  }
  ++timerLineNumber_;
}

void AesaTimingAnalysis::openFiles() {
  filesTried_ = true;
  msg::summaryLine("Timer blob found!");
  timerFile_ = createFile("timer");
  antPosFile_ = createFile("ant_pos");
}

// A file that cannot be created is reported once; the analysis goes on without it.
AesaTimingAnalysis::File AesaTimingAnalysis::createFile(const char* prefix) {
  std::string name = outputName(prefix, destinationName_, "txt");
  File file = outputs_.open(name, "w");
  if (!file) msg::logSysError(msg::E, "opening file %s", name.c_str());
  return file;
}

// The run clears the message context before it flushes the last cycles.
const char* AesaTimingAnalysis::fileName() const {
  const char* context = msg::context();
  return context ? context : lastSourceName_.c_str();
}

// The response block's counters as differences to the previous block; a non-negative
// payload word 8 is the antenna's PRI error.
void AesaTimingAnalysis::writeReceiveFields(Line& line, AesaBytes aesaRx, int32_t slack) {
  if (aesaRx.data() == nullptr) {
    line.add("   ;%6u;%6u;%6u;%4d;%5u", 0u, 0u, 0u, 0, 0u);
    return;
  }
  AesaDump dump(aesaRx.data(), aesaRx.size());
  auto payloadWord = [&](std::size_t n) { return dump.word(payloadFirstWord + n); };
  int32_t priError = static_cast<int32_t>(payloadWord(8));
  const char* status = "OK";
  if (priError >= 0) {
    msg::warning("(%u) AESA PRI Error: %d", timerLineNumber_, priError);
    status = "ERR";
  }
  line.add("%3s;%6u;%6u;%6u;%4d;%5d", status, payloadWord(3) - previousRx_[3],
           payloadWord(7) - previousRx_[7], payloadWord(4) - previousRx_[4], priError, slack);
  for (std::size_t n = 0; n < previousRx_.size(); ++n) previousRx_[n] = payloadWord(n);
}

// Table, delays, receive pairs, CF synchronisation and programming times; answers the
// number of programmings the AESA should have received.
uint32_t AesaTimingAnalysis::writeTimerFields(Line& line, const TimerBlock& timer) {
  line.add("%4u;%2u;%4u;", timer.entries(), timer.valueB(), timer.valueG());
  line.add("__AESADLY;");
  uint32_t setDelays = 0;
  for (std::size_t k = 0; k < 8; ++k) {
    line.add("%7u;", timer.word(32 + k));
    if (timer.word(32 + k) != delayNotSet) ++setDelays;
  }
  // The pair format has always printed a literal "2" after the first value.
  line.add("__ANTRXN;");
  for (std::size_t k = 0; k < 8; ++k) line.add("%u2;%4u;", timer.word(320 + k), timer.word(328 + k));
  line.add("__CFSYNC;");
  for (std::size_t k = 0; k < 8; ++k) line.add("%7u;", timer.word(192 + k));
  line.add("__PRT;");
  line.add("%7u;", timer.prt());
  uint32_t delay = timer.minimumDelay();
  for (uint32_t k = 1; k <= timer.programmings(); ++k) {
    uint32_t time = timer.programmingTime(k);
    line.add("%7u;", time);
    if (delay != delayNotSet && time - timer.prt() < delay)
      msg::warning("(%u) AESA prog too late: %u < %u + %u", timerLineNumber_, time, delay,
                   timer.prt());
  }
  return setDelays >= 2 ? timer.entries() : setDelays;
}

// Walks the command dump word by word: every marker counts, and each beam command gives
// its programmed value and positions. Two markers per programming are expected.
uint32_t AesaTimingAnalysis::takeBeamCommands(AesaBytes aesaTx, uint32_t expected) {
  AesaDump dump(aesaTx.data(), aesaTx.size());
  uint32_t markers = 0, beams = 0, lastCode = 0;
  for (std::size_t i = commandDumpFirstWord; i < commandDumpEndWord; ++i) {
    uint32_t word = dump.word(i);
    if (word == aesaEndMarker) break;
    if (word != aesaMarker) continue;
    ++markers;
    uint32_t length = dump.word(i + 1);
    if ((length != beamCommandA && length != beamCommandB) || beams >= maxEntries) continue;
    AesaMessageBytes bytes(dump, i + 2, beamCommandBytes);
    lastCode = bytes.byte(0);
    programmedValues_[beams] = bytes.u16(3);
    for (std::size_t k = 0; k < 6; ++k) beamPositions_[beams][k] = bytes.position(7 + 2 * k);
    ++beams;
  }
  if (markers / 2 != expected)
    msg::warning("(%u) Wrong AESA progr: %u -> %u (%u), cmd=0x%X", timerLineNumber_, expected,
                 markers / 2, markers, lastCode);
  return beams;
}

// The first beam (possibly from an earlier block when this dump has none) beside the header.
void AesaTimingAnalysis::writeBeamPosition(Line& line, const AesaHeaderValues& header) {
  const BeamPosition& beam = beamPositions_[0];
  line.add("__POS;%12.6f;%12.6f;", double(beam[0]), double(beam[1]));
  if (!antPosFile_) return;
  std::fprintf(antPosFile_.get(),
               "%5u;%6u;%6u;_NAV;%12.6f;%12.6f;_ANT;%12.6f;%12.6f;_UV;%12.6f;%12.6f;__PP;%6u;"
               "%12.6f;%12.6f;__AESA;%12.6f;%12.6f;%12.6f;%12.6f;%12.6f;%12.6f;\n",
               programmedValues_[0], header.timeTag, header.antennaTag,
               double(header.navigation[0]), double(header.navigation[1]),
               double(header.antenna[0]), double(header.antenna[1]), double(header.uv[0]),
               double(header.uv[1]), header.secondTag, double(header.secondValues[0]),
               double(header.secondValues[1]), double(beam[0]), double(beam[1]), double(beam[2]),
               double(beam[3]), double(beam[4]), double(beam[5]));
  antPosFile_.check();
}

// The synthesizer's frequency messages in the link data, as programmed values.
uint32_t AesaTimingAnalysis::takeSynthValues(AesaBytes extLink) {
  synthValues_.fill(0);
  if (extLink.data() == nullptr) return 0;
  AesaDump dump(extLink.data(), extLink.size());
  uint32_t count = 0;
  for (std::size_t i = extLinkFirstWord; i < extLinkEndWord; ++i) {
    uint32_t word = dump.word(i);
    if (word == aesaEndMarker) break;
    if (word != aesaMarker) continue;
    uint32_t kind = dump.word(i + 1) & 0xFF;
    if (kind != synthKindA && kind != synthKindB) continue;
    uint32_t n = dump.word(i + 3);
    if (n < 1 || n > maxSynthCount) continue;
    // Overlapping messages could name more values than are kept.
    for (uint32_t k = 0; k < n && count < maxEntries; ++k)
      synthValues_[count++] = dump.word(i + 4 + k) / synthStep - synthOffset;
  }
  return count;
}

// The synthesizer normally gets one frequency fewer than the AESA gets beams.
void AesaTimingAnalysis::compareFrequencies(Line& line, uint32_t beams, uint32_t synths) {
  uint32_t compared = std::max(beams, synths);
  if (compared >= 2) {
    if (beams == synths + 1)
      compared -= 1;
    else
      msg::warning("(%u) AESA/SYNT num frq error: %u != %u +1", timerLineNumber_, beams, synths);
  }
  line.add("__FRQ;");
  uint32_t mismatches = 0, first = 0;
  for (uint32_t k = 0; k < compared; ++k) {
    bool same = synthValues_[k] == programmedValues_[k];
    line.add("%c;%4u;%4u;", same ? '=' : '!', programmedValues_[k], synthValues_[k]);
    if (!same && mismatches++ == 0) first = k;
  }
  if (mismatches != 0)
    msg::warning("(%u) AESA/SYNT FRQ Err %u: [%u]->%u != %u", timerLineNumber_, mismatches, first,
                 programmedValues_[first], synthValues_[first]);
}
