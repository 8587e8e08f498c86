// AviFile: writes the display's frames into an AVI file with one video stream compressed
// by the Microsoft Video 1 codec (four-character code MSVC).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/output_files.h"

namespace video {

/// One AVI file at a time: open, create the video stream, add frames, close. Every failure of
/// the file or the codec is an F message with the system error text; without the video backend
/// (video_backend.h) opening fails that way.
class AviFile {
 public:
  /// The file is created through `outputs`.
  explicit AviFile(platform::OutputFiles& outputs);
  AviFile(const AviFile&) = delete;
  AviFile& operator=(const AviFile&) = delete;
  /// Closes as close() does.
  virtual ~AviFile();

  /// Creates `name` ("avi_file.avi" when null or empty), closing a file still open first
  /// ("Video saved: %s", S); "AviFile::open(%s)" at S on success, at F on failure.
  bool open(const char* name);
  /// Creates the video stream: `rate` tenths of a frame per second, a key frame at least every
  /// `keyFrameInterval` frames, `quality` -1 for the codec's default; false without a file.
  bool createVideoStream(uint32_t rate, uint32_t width, uint32_t height, uint32_t keyFrameInterval,
                         int quality);
  /// Compresses and writes one frame of width x height 32-bit pixels, bottom row first; a frame
  /// before the stream exists is dropped with "addVideoFrame(): stream not ready" (W).
  bool addVideoFrame(const uint32_t* pixels);
  /// Finishes the stream and the file and reports "Video saved: %s" (S); nothing when closed.
  bool close();

  /// Whether a file is open.
  bool isOpen() const;
  /// Frames written since the stream was created.
  uint32_t frameCount() const;

 private:
  struct State;
  bool releaseFile();
  bool fail(const char* what, int result);
  platform::OutputFiles& outputs_;
  std::unique_ptr<State> state_;
};

}  // namespace video
