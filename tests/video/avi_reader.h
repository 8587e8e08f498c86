// Reads an AVI file back with libavformat and libavcodec for the video tests.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

struct AviContents {
  bool opened = false;
  AVCodecID codec = AV_CODEC_ID_NONE;
  std::string tag;  // four-character code of the stream
  std::string title;
  int width = 0;
  int height = 0;
  AVRational frameRate{0, 1};
  std::vector<bool> keyFrames;         // one per packet
  std::vector<uint16_t> firstPicture;  // first decoded frame, RGB555, top row first
};

/// Opens `path`, lists its packets and decodes the first frame.
inline AviContents readAvi(const std::string& path) {
  AviContents avi;
  AVFormatContext* file = nullptr;
  if (avformat_open_input(&file, path.c_str(), nullptr, nullptr) < 0) return avi;
  avi.opened = true;
  avformat_find_stream_info(file, nullptr);
  if (file->nb_streams != 1) {
    avformat_close_input(&file);
    return avi;
  }
  AVStream* stream = file->streams[0];
  avi.codec = stream->codecpar->codec_id;
  uint32_t tag = stream->codecpar->codec_tag;
  for (int i = 0; i < 4; ++i) avi.tag += static_cast<char>(tag >> (8 * i) & 0xFF);
  if (AVDictionaryEntry* title = av_dict_get(stream->metadata, "title", nullptr, 0))
    avi.title = title->value;
  avi.width = stream->codecpar->width;
  avi.height = stream->codecpar->height;
  avi.frameRate = stream->avg_frame_rate;

  const AVCodec* codec = avcodec_find_decoder(avi.codec);
  AVCodecContext* decoder = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (decoder) {
    avcodec_parameters_to_context(decoder, stream->codecpar);
    if (avcodec_open2(decoder, codec, nullptr) < 0) avcodec_free_context(&decoder);
  }
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  while (av_read_frame(file, packet) >= 0) {
    avi.keyFrames.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
    if (decoder && avi.firstPicture.empty() && avcodec_send_packet(decoder, packet) >= 0 &&
        avcodec_receive_frame(decoder, frame) >= 0) {
      for (int y = 0; y < frame->height; ++y) {
        const auto* row =
            reinterpret_cast<const uint16_t*>(frame->data[0] + y * frame->linesize[0]);
        // The decoder leaves the unused top bit as the stream had it.
        for (int x = 0; x < frame->width; ++x) avi.firstPicture.push_back(row[x] & 0x7FFF);
      }
    }
    av_packet_unref(packet);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&decoder);
  avformat_close_input(&file);
  return avi;
}

/// A 32-bit pixel reduced to the 5-bit colours the codec keeps.
inline uint16_t asRgb555(uint32_t pixel) {
  return static_cast<uint16_t>((pixel >> 19 & 31) << 10 | (pixel >> 11 & 31) << 5 |
                               (pixel >> 3 & 31));
}

/// The fields of the first stream header ("strh") of an AVI file, as stored.
struct StreamHeader {
  bool found = false;
  std::string type, handler;
  uint32_t flags = 0, initialFrames = 0, scale = 0, rate = 0, start = 0, length = 0;
  uint32_t suggestedBufferSize = 0, quality = 0, sampleSize = 0;
  int16_t frame[4] = {0, 0, 0, 0};  // left, top, right, bottom
};

/// Reads the stream header of the first stream list of `path` (searched for, not parsed).
inline StreamHeader readStreamHeader(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  StreamHeader h;
  size_t at = bytes.find("strh");
  if (at == std::string::npos || at + 8 + 56 > bytes.size()) return h;
  const char* p = bytes.data() + at + 8;
  auto u32 = [&](size_t offset) {
    uint32_t v;
    std::memcpy(&v, p + offset, 4);
    return v;
  };
  h.found = true;
  h.type.assign(p, 4);
  h.handler.assign(p + 4, 4);
  h.flags = u32(8);
  h.initialFrames = u32(16);
  h.scale = u32(20);
  h.rate = u32(24);
  h.start = u32(28);
  h.length = u32(32);
  h.suggestedBufferSize = u32(36);
  h.quality = u32(40);
  h.sampleSize = u32(44);
  std::memcpy(h.frame, p + 48, 8);
  return h;
}
