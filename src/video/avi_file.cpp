// AviFile over libavformat and libavcodec: the AVI muxer with the "msvideo1" encoder, which
// takes 16-bit RGB; the 32-bit frames are reduced to 5 bits per colour here.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "commandline/messages.h"
#include "format/format.h"
#include "avi_file.h"

namespace video {

namespace {

constexpr size_t nameLimit = 511;
constexpr uint32_t frameScale = 10;  // the rate is given in tenths of a frame per second

// The system error text of a failure: the library's errno when it has one.
void setErrnoFrom(int result) { errno = (result < 0 && result > -4096) ? -result : EINVAL; }

// The encoder makes the next key frame once keyint_min frames have followed the last one;
// an interval of 0 leaves key frames to the codec.
int framesBetweenKeyFrames(uint32_t keyFrameInterval) {
  if (keyFrameInterval == 0) return INT_MAX;
  return static_cast<int>(std::min<uint32_t>(keyFrameInterval - 1, INT_MAX));
}

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

uint16_t rgb555(uint32_t pixel) {
  uint32_t red = pixel >> 16 & 0xFF, green = pixel >> 8 & 0xFF, blue = pixel & 0xFF;
  return static_cast<uint16_t>((red >> 3) << 10 | (green >> 3) << 5 | blue >> 3);
}

}  // namespace

struct AviFile::State {
  AVFormatContext* file = nullptr;
  std::string name;
  platform::OutputFile output;  // the file under its final name; the library writes output.path()
  int lastResult = 0;
  bool videoReady = false;
  bool headerWritten = false;
  AVStream* stream = nullptr;         // the stream in the file
  AVCodecContext* encoder = nullptr;  // the compressing stream built on it
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  uint32_t frameCount = 0;
  uint32_t rate = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

AviFile::AviFile(platform::OutputFiles& outputs)
    : outputs_(outputs), state_(std::make_unique<State>()) {
  // The library's own console lines would break into the message transcript; failures are
  // reported through the messages below.
  av_log_set_level(AV_LOG_QUIET);
}

AviFile::~AviFile() { close(); }

bool AviFile::isOpen() const { return state_->file != nullptr; }

uint32_t AviFile::frameCount() const { return state_->frameCount; }

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
  AVFormatContext* file = nullptr;
  s.output = outputs_.open(s.name, "wb");
  int result = s.output ? 0 : AVERROR(errno != 0 ? errno : EIO);
  if (result >= 0) result = avformat_alloc_output_context2(&file, nullptr, "avi", s.name.c_str());
  if (result >= 0) result = avio_open(&file->pb, s.output.path().c_str(), AVIO_FLAG_WRITE);
  if (result < 0) {
    avformat_free_context(file);
    s.output = platform::OutputFile();
    s.lastResult = result;
    setErrnoFrom(result);
    msg::fatalSysError("AviFile::open(%s)", s.name.c_str());
    return false;
  }
  s.file = file;
  msg::summaryLine("AviFile::open(%s)", s.name.c_str());
  return true;
}

bool AviFile::createVideoStream(uint32_t rate, uint32_t width, uint32_t height,
                                uint32_t keyFrameInterval, int /*quality*/) {
  State& s = *state_;
  s.videoReady = false;
  s.frameCount = 0;
  if (!s.file) return false;
  // The codec has no quality setting of its own: -1 (its default) is all there is.
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MSVIDEO1);
  if (s.headerWritten || s.stream || !codec || rate == 0 || width == 0 || height == 0)
    return fail("Video::AVIFileCreateStream()", AVERROR(EINVAL));
  s.stream = avformat_new_stream(s.file, nullptr);
  if (!s.stream) return fail("Video::AVIFileCreateStream()", AVERROR(ENOMEM));
  s.stream->time_base = AVRational{int(frameScale), int(rate)};
  av_dict_set(&s.stream->metadata, "title", "video", 0);

  s.encoder = avcodec_alloc_context3(codec);
  if (!s.encoder) return fail("Video::AVIMakeCompressedStream()", AVERROR(ENOMEM));
  s.encoder->width = int(width);
  s.encoder->height = int(height);
  s.encoder->pix_fmt = AV_PIX_FMT_RGB555;
  s.encoder->time_base = AVRational{int(frameScale), int(rate)};
  s.encoder->framerate = AVRational{int(rate), int(frameScale)};
  s.encoder->keyint_min = framesBetweenKeyFrames(keyFrameInterval);
  int result = avcodec_open2(s.encoder, codec, nullptr);
  if (result < 0) return fail("Video::AVIMakeCompressedStream()", result);

  s.frame = av_frame_alloc();
  s.packet = av_packet_alloc();
  result = (s.frame && s.packet) ? 0 : AVERROR(ENOMEM);
  if (result == 0) {
    s.frame->format = AV_PIX_FMT_RGB555;
    s.frame->width = int(width);
    s.frame->height = int(height);
    result = av_frame_get_buffer(s.frame, 0);
  }
  if (result >= 0) result = avcodec_parameters_from_context(s.stream->codecpar, s.encoder);
  if (result >= 0) {
    s.stream->codecpar->codec_tag = MKTAG('M', 'S', 'V', 'C');
    s.stream->avg_frame_rate = s.encoder->framerate;
    result = avformat_write_header(s.file, nullptr);
  }
  if (result < 0) return fail("Video::AVIStreamSetFormat()", result);
  s.headerWritten = true;
  s.rate = rate;
  s.width = width;
  s.height = height;
  s.videoReady = true;
  return true;
}

bool AviFile::writePackets(bool draining) {
  State& s = *state_;
  for (;;) {
    int result = avcodec_receive_packet(s.encoder, s.packet);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
    if (result >= 0) {
      av_packet_rescale_ts(s.packet, s.encoder->time_base, s.stream->time_base);
      s.packet->stream_index = s.stream->index;
      result = av_interleaved_write_frame(s.file, s.packet);
    }
    if (result < 0) {
      s.lastResult = result;
      if (draining) return false;
      setErrnoFrom(result);
      msg::fatalSysError("addVideoFrame()=%d", result);
      return false;
    }
  }
}

bool AviFile::addVideoFrame(const uint32_t* pixels) {
  State& s = *state_;
  if (!s.videoReady) {
    msg::warning("addVideoFrame(): stream not ready");
    return false;
  }
  int result = av_frame_make_writable(s.frame);
  if (result >= 0) {
    // Bottom row first in, top row first out.
    for (uint32_t y = 0; y < s.height; ++y) {
      const uint32_t* in = pixels + size_t(s.height - 1 - y) * s.width;
      auto* out = reinterpret_cast<uint16_t*>(s.frame->data[0] + size_t(y) * s.frame->linesize[0]);
      for (uint32_t x = 0; x < s.width; ++x) out[x] = rgb555(in[x]);
    }
    s.frame->pts = s.frameCount;
    s.frame->pict_type = s.frameCount == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    result = avcodec_send_frame(s.encoder, s.frame);
  }
  if (result < 0) {
    s.lastResult = result;
    setErrnoFrom(result);
    msg::fatalSysError("addVideoFrame()=%d", result);
    return false;
  }
  if (!writePackets(false)) return false;
  ++s.frameCount;
  return true;
}

void AviFile::releaseStreams() {
  State& s = *state_;
  if (s.videoReady) {
    s.videoReady = false;
    if (avcodec_send_frame(s.encoder, nullptr) >= 0) writePackets(true);
  }
  avcodec_free_context(&s.encoder);
  av_frame_free(&s.frame);
  av_packet_free(&s.packet);
  s.stream = nullptr;  // owned by the file
}

bool AviFile::releaseFile() {
  State& s = *state_;
  releaseStreams();
  if (!s.file) return false;
  int result = s.headerWritten ? av_write_trailer(s.file) : 0;
  int closed = avio_closep(&s.file->pb);
  if (result >= 0) result = closed;
  avformat_free_context(s.file);
  s.file = nullptr;
  if (result < 0) s.output.fail(result > -4096 ? -result : EIO);
  if (s.headerWritten)
    restoreStreamHeader(s.output.path(), s.rate,
                        uint32_t(std::min<uint64_t>(uint64_t(s.width) * s.height * 4, UINT32_MAX)));
  s.headerWritten = false;
  s.output.close();
  return true;
}

bool AviFile::close() {
  if (releaseFile()) msg::summaryLine("Video saved: %s", state_->name.c_str());
  return true;
}

}  // namespace video
