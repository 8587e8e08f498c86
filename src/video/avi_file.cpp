// AviFile: the file, its messages and the stream header's last words here; the compression and
// the AVI structure are the backend's encoder (video_backend.h).
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "commandline/messages.h"
#include "format/format.h"
#include "avi_file.h"
#include "video_backend.h"

namespace video {

namespace {

constexpr size_t nameLimit = 511;
constexpr uint32_t frameScale = 10;  // the rate is given in tenths of a frame per second

// The system error text of a failure: the library's errno when it has one.
void setErrnoFrom(int result) { errno = (result < 0 && result > -4096) ? -result : EINVAL; }

// A stretch [begin, end) of a file read into memory.
struct Range {
  size_t begin = 0, end = 0;
};

// The body of the first chunk `id` (for a list, of type `type`) within a stretch of a RIFF
// file, cut to the stretch; an empty range when there is none.
Range findChunk(const std::vector<uint8_t>& data, Range within, const char* id, const char* type) {
  for (uint64_t at = within.begin; at + 12 <= within.end;) {
    const uint32_t size = format::u32At(data, at + 4);
    const uint64_t end = std::min<uint64_t>(at + 8 + size, within.end);
    if (std::memcmp(&data[at], id, 4) == 0) {
      if (type == nullptr) return Range{size_t(at + 8), size_t(end)};
      if (std::memcmp(&data[at + 8], type, 4) == 0) return Range{size_t(at + 12), size_t(end)};
    }
    at += 8 + uint64_t(size) + (size & 1);
  }
  return Range{};
}

// The muxer divides the stream header's scale and rate by their common divisor and keeps the
// largest frame as the suggested buffer size. The stream is described with scale 10, the
// caller's rate and room for one whole 32-bit picture, so those three words are written back
// once the file is complete. Only the header lists at the start of the file are read.
void restoreStreamHeader(const std::string& name, uint32_t rate, uint32_t bufferSize) {
  constexpr size_t headerArea = 65536;
  constexpr size_t strhSize = 56, scaleAt = 20, rateAt = 24, bufferSizeAt = 36;
  std::FILE* file = std::fopen(name.c_str(), "r+b");
  if (!file) return;
  std::vector<uint8_t> data(headerArea);
  data.resize(std::fread(data.data(), 1, data.size(), file));
  Range strh;
  if (data.size() >= 12 && std::memcmp(data.data(), "RIFF", 4) == 0 &&
      std::memcmp(&data[8], "AVI ", 4) == 0) {
    Range hdrl = findChunk(data, Range{12, data.size()}, "LIST", "hdrl");
    Range strl = findChunk(data, hdrl, "LIST", "strl");
    strh = findChunk(data, strl, "strh", nullptr);
  }
  if (strh.end >= strh.begin + strhSize && std::memcmp(&data[strh.begin], "vids", 4) == 0) {
    const std::span<uint8_t> header(&data[strh.begin], strhSize);
    format::putU32At(header, scaleAt, frameScale);
    format::putU32At(header, rateAt, rate);
    format::putU32At(header, bufferSizeAt,
                     std::max(bufferSize, format::u32At(header, bufferSizeAt)));
    if (std::fseek(file, long(strh.begin), SEEK_SET) == 0)
      std::fwrite(header.data(), 1, strhSize, file);
  }
  std::fclose(file);
}

}  // namespace

struct AviFile::State {
  std::unique_ptr<AviEncoder> encoder;  // none without the backend
  std::string name;
  platform::OutputFile output;  // the file under its final name; the encoder writes output.path()
  int lastResult = 0;
  uint32_t rate = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

AviFile::AviFile(platform::OutputFiles& outputs)
    : outputs_(outputs), state_(std::make_unique<State>()) {
  if (const Backend* videoBackend = backend()) state_->encoder = videoBackend->makeEncoder();
}

AviFile::~AviFile() { close(); }

bool AviFile::isOpen() const { return state_->encoder && state_->encoder->isOpen(); }

uint32_t AviFile::frameCount() const { return state_->encoder ? state_->encoder->frameCount() : 0; }

bool AviFile::fail(const char* what, int result) {
  state_->lastResult = result;
  setErrnoFrom(result);
  msg::fatalSysError("%s", what);
  return false;
}

bool AviFile::open(const char* name) {
  State& s = *state_;
  if (releaseFile()) msg::summaryLine("Video saved: %s", s.name.c_str());
  s.name = (name && *name) ? std::string(name, strnlen(name, nameLimit)) : "avi_file.avi";
  // Without the backend nothing can write the file: "Can not access a needed shared library".
  int result = s.encoder ? 0 : -ELIBACC;
  if (result >= 0) {
    s.output = outputs_.open(s.name, "wb");
    result = s.output ? 0 : -(errno != 0 ? errno : EIO);
  }
  if (result >= 0) result = s.encoder->open(s.name.c_str(), s.output.path().c_str());
  if (result < 0) {
    s.output = platform::OutputFile();
    s.lastResult = result;
    setErrnoFrom(result);
    msg::fatalSysError("AviFile::open(%s)", s.name.c_str());
    return false;
  }
  msg::summaryLine("AviFile::open(%s)", s.name.c_str());
  return true;
}

bool AviFile::createVideoStream(uint32_t rate, uint32_t width, uint32_t height,
                                uint32_t keyFrameInterval, int /*quality*/) {
  State& s = *state_;
  if (!s.encoder) return false;
  // The codec has no quality setting of its own: -1 (its default) is all there is.
  const char* failedStep = "";
  const int result = s.encoder->createStream(rate, width, height, keyFrameInterval, &failedStep);
  if (result > 0) return false;  // no file
  if (result < 0) return fail(failedStep, result);
  s.rate = rate;
  s.width = width;
  s.height = height;
  return true;
}

bool AviFile::addVideoFrame(const uint32_t* pixels) {
  State& s = *state_;
  if (!s.encoder || !s.encoder->ready()) {
    msg::warning("addVideoFrame(): stream not ready");
    return false;
  }
  const int result = s.encoder->addFrame(pixels);
  if (result < 0) {
    s.lastResult = result;
    setErrnoFrom(result);
    msg::fatalSysError("addVideoFrame()=%d", result);
    return false;
  }
  return true;
}

bool AviFile::releaseFile() {
  State& s = *state_;
  if (!s.encoder) return false;
  const AviEncoder::Closed closed = s.encoder->close();
  if (!closed.wasOpen) return false;
  const int result = closed.result;
  if (result < 0) s.output.fail(result > -4096 ? -result : EIO);
  if (closed.headerWritten)
    restoreStreamHeader(s.output.path(), s.rate,
                        uint32_t(std::min<uint64_t>(uint64_t(s.width) * s.height * 4, UINT32_MAX)));
  s.output.close();
  return true;
}

bool AviFile::close() {
  if (releaseFile()) msg::summaryLine("Video saved: %s", state_->name.c_str());
  return true;
}

}  // namespace video
