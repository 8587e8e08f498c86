// The AVI encoder over libavformat and libavcodec: the AVI muxer with the "msvideo1" encoder,
// which takes 16-bit RGB; the 32-bit frames are reduced to 5 bits per colour here.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cerrno>
#include <climits>

#include "backend_parts.h"

namespace video {

namespace {

constexpr uint32_t frameScale = 10;  // the rate is given in tenths of a frame per second

// The encoder makes the next key frame once keyint_min frames have followed the last one;
// an interval of 0 leaves key frames to the codec.
int framesBetweenKeyFrames(uint32_t keyFrameInterval) {
  if (keyFrameInterval == 0) return INT_MAX;
  return static_cast<int>(std::min<uint32_t>(keyFrameInterval - 1, INT_MAX));
}

uint16_t rgb555(uint32_t pixel) {
  uint32_t red = pixel >> 16 & 0xFF, green = pixel >> 8 & 0xFF, blue = pixel & 0xFF;
  return static_cast<uint16_t>((red >> 3) << 10 | (green >> 3) << 5 | blue >> 3);
}

class FfmpegEncoder final : public AviEncoder {
 public:
  FfmpegEncoder() {
    // The library's own console lines would break into the message transcript; failures are
    // reported by the caller.
    av_log_set_level(AV_LOG_QUIET);
  }
  FfmpegEncoder(const FfmpegEncoder&) = delete;
  FfmpegEncoder& operator=(const FfmpegEncoder&) = delete;
  ~FfmpegEncoder() override {
    releaseStreams();
    if (file_) {
      if (file_->pb) avio_closep(&file_->pb);
      avformat_free_context(file_);
    }
  }

  int open(const char* name, const char* path) override;
  bool isOpen() const override { return file_ != nullptr; }
  int createStream(uint32_t rate, uint32_t width, uint32_t height, uint32_t keyFrameInterval,
                   const char** failedStep) override;
  bool ready() const override { return videoReady_; }
  int addFrame(const uint32_t* pixels) override;
  uint32_t frameCount() const override { return frameCount_; }
  Closed close() override;

 private:
  int writePackets();
  void releaseStreams();

  AVFormatContext* file_ = nullptr;
  bool videoReady_ = false;
  bool headerWritten_ = false;
  AVStream* stream_ = nullptr;         // the stream in the file
  AVCodecContext* encoder_ = nullptr;  // the compressing stream built on it
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  uint32_t frameCount_ = 0;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
};

int FfmpegEncoder::open(const char* name, const char* path) {
  AVFormatContext* file = nullptr;
  int result = avformat_alloc_output_context2(&file, nullptr, "avi", name);
  if (result >= 0) result = avio_open(&file->pb, path, AVIO_FLAG_WRITE);
  if (result < 0) {
    avformat_free_context(file);
    return result;
  }
  file_ = file;
  return 0;
}

int FfmpegEncoder::createStream(uint32_t rate, uint32_t width, uint32_t height,
                                uint32_t keyFrameInterval, const char** failedStep) {
  videoReady_ = false;
  frameCount_ = 0;
  if (!file_) return 1;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MSVIDEO1);
  *failedStep = "Video::AVIFileCreateStream()";
  if (headerWritten_ || stream_ || !codec || rate == 0 || width == 0 || height == 0)
    return AVERROR(EINVAL);
  stream_ = avformat_new_stream(file_, nullptr);
  if (!stream_) return AVERROR(ENOMEM);
  stream_->time_base = AVRational{int(frameScale), int(rate)};
  av_dict_set(&stream_->metadata, "title", "video", 0);

  *failedStep = "Video::AVIMakeCompressedStream()";
  encoder_ = avcodec_alloc_context3(codec);
  if (!encoder_) return AVERROR(ENOMEM);
  encoder_->width = int(width);
  encoder_->height = int(height);
  encoder_->pix_fmt = AV_PIX_FMT_RGB555;
  encoder_->time_base = AVRational{int(frameScale), int(rate)};
  encoder_->framerate = AVRational{int(rate), int(frameScale)};
  encoder_->keyint_min = framesBetweenKeyFrames(keyFrameInterval);
  int result = avcodec_open2(encoder_, codec, nullptr);
  if (result < 0) return result;

  *failedStep = "Video::AVIStreamSetFormat()";
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  result = (frame_ && packet_) ? 0 : AVERROR(ENOMEM);
  if (result == 0) {
    frame_->format = AV_PIX_FMT_RGB555;
    frame_->width = int(width);
    frame_->height = int(height);
    result = av_frame_get_buffer(frame_, 0);
  }
  if (result >= 0) result = avcodec_parameters_from_context(stream_->codecpar, encoder_);
  if (result >= 0) {
    stream_->codecpar->codec_tag = MKTAG('M', 'S', 'V', 'C');
    stream_->avg_frame_rate = encoder_->framerate;
    result = avformat_write_header(file_, nullptr);
  }
  if (result < 0) return result;
  headerWritten_ = true;
  width_ = width;
  height_ = height;
  videoReady_ = true;
  return 0;
}

int FfmpegEncoder::writePackets() {
  for (;;) {
    int result = avcodec_receive_packet(encoder_, packet_);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return 0;
    if (result >= 0) {
      av_packet_rescale_ts(packet_, encoder_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      result = av_interleaved_write_frame(file_, packet_);
    }
    if (result < 0) return result;
  }
}

int FfmpegEncoder::addFrame(const uint32_t* pixels) {
  int result = av_frame_make_writable(frame_);
  if (result >= 0) {
    // Bottom row first in, top row first out.
    for (uint32_t y = 0; y < height_; ++y) {
      const uint32_t* in = pixels + size_t(height_ - 1 - y) * width_;
      auto* out = reinterpret_cast<uint16_t*>(frame_->data[0] + size_t(y) * frame_->linesize[0]);
      for (uint32_t x = 0; x < width_; ++x) out[x] = rgb555(in[x]);
    }
    frame_->pts = frameCount_;
    frame_->pict_type = frameCount_ == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    result = avcodec_send_frame(encoder_, frame_);
  }
  if (result >= 0) result = writePackets();
  if (result < 0) return result;
  ++frameCount_;
  return 0;
}

void FfmpegEncoder::releaseStreams() {
  if (videoReady_) {
    videoReady_ = false;
    // What the codec still holds is written as far as it goes; a failure here is not reported.
    if (avcodec_send_frame(encoder_, nullptr) >= 0) writePackets();
  }
  avcodec_free_context(&encoder_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  stream_ = nullptr;  // owned by the file
}

AviEncoder::Closed FfmpegEncoder::close() {
  releaseStreams();
  Closed closed;
  if (!file_) return closed;
  closed.wasOpen = true;
  closed.headerWritten = headerWritten_;
  int result = headerWritten_ ? av_write_trailer(file_) : 0;
  int done = avio_closep(&file_->pb);
  if (result >= 0) result = done;
  avformat_free_context(file_);
  file_ = nullptr;
  headerWritten_ = false;
  closed.result = result;
  return closed;
}

}  // namespace

std::unique_ptr<AviEncoder> makeFfmpegEncoder() { return std::make_unique<FfmpegEncoder>(); }

}  // namespace video
