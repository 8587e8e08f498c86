// One fuzz input through each parser that reads recorded or user bytes: the layout loader, the
// qualifier engine, the software-data decoder with the post-process handlers, the AESA
// decoders, the timer analysis, the track writer and the video frame decoder. Shared by the
// libFuzzer targets and the driver test that replays their corpora (fuzz/corpus/<target>).
// F messages end a run through the message module's exit handler, which the caller makes throw.
// Products write "<prefix>-fuzz.txt" and the like under relative names: the fuzz targets send
// them into a private temporary folder (scratch_folder.cpp), the test runs in a temporary
// working directory.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commandline/cmdopt.h"
#include "commandline/messages.h"
#include "driver/converter_options.h"
#include "json.h"
#include "layout/layout.h"
#include "platform/output_files.h"
#include "aesa_catalogue.h"
#include "postprocess/aesa_timing.h"
#include "post_process_state.h"
#include "products/products.h"
#include "soft/soft.h"
#include "frame_image.h"

namespace fuzzing {

/// Reads fuzz bytes front to back; past the end everything reads as 0 or empty.
class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t u16() { return u8() | uint32_t{u8()} << 8; }
  uint32_t u32() { return u16() | u16() << 16; }
  /// The next `length` bytes, cut at the end of the input.
  std::span<const uint8_t> take(size_t length) {
    length = std::min(length, size_ - at_);
    std::span<const uint8_t> bytes(data_ + at_, length);
    at_ += length;
    return bytes;
  }
  std::span<const uint8_t> rest() { return take(size_ - at_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

/// The outputs of one input's products: their failures and clashes are not what is fuzzed.
/// Written under their own names, so the redirected fopen puts them into the scratch folder.
inline platform::OutputFiles quietOutputs() {
  return platform::OutputFiles([](const std::string&, int) {},
                               [](const std::string&, const std::string&) {},
                               platform::OutputFiles::Naming::inPlace);
}

// ---- layout loader

/// Flow storage is sized by the layout when it is loaded: layouts that would ask for more than
/// this in all are skipped, so the target measures the parser, not the allocator.
constexpr uint64_t layoutStorageLimit = 16u << 20;

/// What the flows of `text` would allocate, read the way the loader reads sizes (quoted texts,
/// a K or M right after the number); an upper bound, as unparsable layouts allocate nothing.
inline uint64_t layoutStorage(std::string text) {
  static std::vector<JsonNode> pool(2048);
  const JsonNode* root = parseLayoutJson(text.data(), pool.data(), pool.size());
  const JsonNode* flows = root ? findMember(root, "flows") : nullptr;
  if (!flows || flows->kind != JsonKind::Array) return 0;
  auto bytes = [](const char* size) -> uint64_t {
    if (!size) return 0;
    ConvertedNumber n = toUnsigned32(size);
    uint32_t unit = (*n.end == 'K' || *n.end == 'k') ? 1024u : (*n.end == 'M' || *n.end == 'm') ? 1048576u : 1u;
    uint32_t value = n.value * unit;
    return value == 0 ? 0x200000 : value;  // a size of 0 becomes the default
  };
  uint64_t total = 0;
  uint64_t maxSize = bytes(memberText(root, "max_size"));
  for (const JsonNode* node = flows->value.firstChild; node; node = node->next) {
    const char* size = node->kind == JsonKind::Object ? memberText(node, "size") : nullptr;
    total += 2048 + (size ? bytes(size) : std::max<uint64_t>(maxSize, 0x200000));
  }
  return total;
}

/// The layout text as the program reads it: loaded into the flow table with observers bound.
inline void layout(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (layoutStorage(text) > layoutStorageLimit) return;
  IFlowObserver header, other;
  HeaderOffsets offsets, softOffsets;
  FlowTable table;
  loadFlowTable(text.data(), table, {&header, &other, &offsets, &softOffsets});
}

// ---- qualifier engine

/// The converter's command line: the first line of the input split at blanks into words after
/// the program name; the rest of the input is what standard input answers to the overwrite
/// question. "//b" (change the working directory) is taken out of the engine's list, so the
/// target never leaves its folder; the engine's other file-system calls only test access.
inline void commandLine(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const char* lineEnd = static_cast<const char*>(std::memchr(text, '\n', size));
  size_t lineLength = lineEnd ? size_t(lineEnd - text) : size;
  std::vector<std::string> words{"tarsel"};
  std::string word;
  for (size_t i = 0; i <= lineLength && words.size() < 64; ++i) {
    char c = i < lineLength ? text[i] : ' ';
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);

  std::string answers = lineEnd ? std::string(lineEnd + 1, text + size) : std::string();
  answers += '\n';  // fmemopen needs at least one byte
  FILE* in = fmemopen(answers.data(), answers.size(), "r");
  if (!in) return;
  struct Closer {
    FILE* file;
    ~Closer() { std::fclose(file); }
  } closer{in};

  zor::reset_registries();
  ConverterQualifiers qualifiers;
  cmd_options options;
  options.standard().basedir.key = "";
  options.set_answer_stream(in);
  options.parse_command_line(int(argv.size() - 1), argv.data());
}

// ---- software-data decoder with the post-process handlers

/// Post-process level of the target: every handler, every signal check, a size line per block.
constexpr int32_t softPostProcessLevel = 21;

/// A SOFT record decoded with every post-process handler registered: the first four bytes
/// choose the SAR fix (bit 0), the next two how many bytes of the record fill the F-SUM copy
/// (read from the record's start); the rest is the record, decoded as an EIF and a DSP record.
inline void softRecord(const uint8_t* data, size_t size) {
  static const std::string sourceName = "fuzz";
  Cursor cursor(data, size);
  uint32_t flags = cursor.u32();
  uint32_t copied = cursor.u16();
  std::span<const uint8_t> record = cursor.rest();

  // The DSP header handler writes the SAR fix into the record, as into the flow's storage.
  std::vector<uint8_t> writable(record.begin(), record.end());

  SoftDecoder decoder;
  platform::OutputFiles outputs = quietOutputs();
  auto state = std::make_unique<PostProcessState>(decoder, sourceName, outputs);
  state->copies().takeSignalCopy(record.first(std::min<size_t>(copied, record.size())));
  state->setFixSarHeaders(flags & 1);
  state->setUpPostProcess(softPostProcessLevel);
  state->decodeRecord(0x53, "EIF", writable);
  state->decodeRecord(0x33, "DSP", writable);
  state->reportPostProcess();
}

// ---- AESA decoders

/// The input as a command dump and as a response dump, twice each (the lists are replaced,
/// the response counts add up), with the names of the first words' codes.
inline void aesaDumps(const uint8_t* data, size_t size) {
  AesaCommandList commands;
  AesaResponseList responses;
  for (int i = 0; i < 2; ++i) {
    decodeAesaCommands(commands, data, size);
    decodeAesaResponses(responses, data, size);
  }
  AesaDump dump(data, size);
  volatile size_t named = 0;
  named = named + std::strlen(aesaCommandName(dump.word(0))) + std::strlen(aesaResponseName(dump.word(1)));
  for (const AesaCommand& c : commands.commands) named = named + std::strlen(c.name);
  for (const AesaResponse& r : responses.responses) named = named + std::strlen(r.name);
}

// ---- timer analysis

/// A timer block with its captures: a presence byte (bit n: capture n is there), four 16-bit
/// lengths (timer, command, response and synthesizer link), the header values and batch, then
/// the four captures back to back. The block is analysed twice, so the second line has a
/// previous response to compare with.
inline void aesaTimer(const uint8_t* data, size_t size) {
  static const std::string destination = "fuzz", sourceName = "fuzz.rec";
  Cursor cursor(data, size);
  uint8_t present = cursor.u8();
  std::array<uint32_t, 4> lengths{};
  for (uint32_t& length : lengths) length = cursor.u16();
  AesaTimerContext context;
  std::span<const uint8_t> header = cursor.take(sizeof context.header);
  std::memcpy(&context.header, header.data(), header.size());
  context.batch = cursor.u32();
  context.timeText = "2022-05-17T10:30:00";
  context.modeName = present & 0x10 ? "SEA" : nullptr;
  std::array<AesaBytes, 4> captures;
  for (size_t i = 0; i < captures.size(); ++i) {
    std::span<const uint8_t> bytes = cursor.take(lengths[i]);
    if (present >> i & 1) captures[i] = bytes.data() ? bytes : AesaBytes(data, 0);
  }
  platform::OutputFiles outputs = quietOutputs();
  auto analysis = std::make_unique<AesaTimingAnalysis>(destination, sourceName, outputs);
  for (int i = 0; i < 2; ++i) analysis->analyseTimer(captures[0], captures[1], captures[2], captures[3], context);
  analysis->flush();
}

// ---- track writer

/// Navigation blocks of the track: a mode byte (bit 7: no track), then blocks of 1224 bytes
/// (the last one shorter), each with its batch and DSP mode taken from its first bytes.
inline void flightTrack(const uint8_t* data, size_t size) {
  static const std::string destination = "fuzz", sourceName = "fuzz.rec";
  Cursor cursor(data, size);
  uint8_t mode = cursor.u8();
  int32_t trackMode = mode & 0x80 ? -1 : mode & 0x7F;
  platform::OutputFiles outputs = quietOutputs();
  FlightTrack track(destination, sourceName, outputs);
  for (int blocks = 0; blocks < 64; ++blocks) {
    std::span<const uint8_t> block = cursor.take(1224);
    if (block.empty()) break;
    uint32_t batch = block.size() >= 4 ? block[0] | uint32_t{block[1]} << 8 : 0;
    uint32_t dspMode = block.size() >= 4 ? block[2] : 0;
    track.trackPoint(block.data(), block.size(), trackMode, batch, dspMode);
  }
  track.trackClose();
}

// ---- video frame decoder

/// A recorded VIDEO frame converted into the display image, its caption (the last 64 bytes as
/// text) stamped in, and the frame-rate rule on the frame's numbers.
inline void videoFrame(const uint8_t* data, size_t size) {
  static video::FrameImage image;
  video::convertFrame(data, size, image);
  size_t captionBytes = std::min<size_t>(size, 64);
  std::string text(reinterpret_cast<const char*>(data + size - captionBytes), captionBytes);
  video::stampCaption(video::drawCaption(video::captionOf(text.c_str())), image);
  Cursor cursor(data, size);
  uint32_t number = cursor.u32(), last = cursor.u32(), rate = cursor.u32();
  volatile uint32_t repeats = video::frameRepeatCount(number, last, rate);
  (void)repeats;
  volatile uint32_t colour = video::backgroundColour(int(last), int(rate));
  (void)colour;
}

/// The targets by corpus folder name.
struct Target {
  const char* name;
  void (*run)(const uint8_t*, size_t);
};
inline constexpr std::array<Target, 7> targets{{
    {"layout", layout},
    {"command_line", commandLine},
    {"soft_handlers", softRecord},
    {"aesa_catalogue", aesaDumps},
    {"aesa_timing", aesaTimer},
    {"flight_track", flightTrack},
    {"frame_image", videoFrame},
}};

}  // namespace fuzzing
