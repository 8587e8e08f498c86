// The radar display window and its AVI capture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/output_files.h"

namespace video {
class AviFile;
class Backend;
class Window;
struct CaptionBitmap;
struct FrameImage;
struct SharedImage;
}  // namespace video

/// One conversion's display: the VIDEO frames shown in a window of their own (on its own
/// thread) and, when saving, recorded with the source file name into an AVI file. Without a
/// display device the window stays closed and the capture works the same. SDL and FFmpeg are
/// reached through the video plugin, loaded when the window or the capture is first needed;
/// when it cannot be loaded that is reported once (W), the window stays closed and opening the
/// capture fails.
class Display {
 public:
  /// The capture is created through `outputs`.
  explicit Display(platform::OutputFiles& outputs);
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;
  /// Closes the window (ending its thread) and a capture still open.
  ~Display();

  /// Keeps at most 511 characters of `text`, cut at its last ".", as the caption of saved frames.
  void display_set_caption(const char* text);
  /// Names the capture file; "video-capture.avi" until set.
  void display_set_avi_name(const std::string& name);
  /// The name the capture is saved under.
  const std::string& aviName() const { return aviName_; }
  /// Turns saving on.
  void display_save_on();
  /// The frame-rate setting: above 0 the capture runs at setting / 2 frames per second, below 0
  /// (-1 unless set) frame-number jumps repeat frames, 0 neither.
  void display_set_frame_rate(int32_t setting);
  /// Opens the window and waits until it exists; an answer below -999 opens nothing.
  void display_start(int answer, int flags, int colour);
  /// Shows the frame in the first `length` bytes of `frame` (bytes beyond read as 0) and records
  /// it when saving; answers the start's answer, 0 before the start.
  int display_frame(const uint8_t* frame, size_t length);
  /// Suspends the calling thread.
  void display_delay(uint32_t milliseconds);
  /// When saving, closes the capture ("Video saved: %s").
  void display_finish();

  /// The caption as stored.
  const std::string& caption() const { return caption_; }
  /// The frame image (after display_start).
  const video::FrameImage& image() const;
  /// Whether a window is on the screen.
  bool windowOpen() const;
  /// Repaints the window has done.
  uint32_t windowPaints() const;
  /// Frames written into the capture since its stream was created.
  uint32_t recordedFrames() const;

 private:
  void prepareCapture(uint32_t frameNumber);
  void recordFrame(uint32_t frameNumber);
  void stampCaption();
  /// The backend, reporting once when it cannot be loaded.
  const video::Backend* videoBackend();

  int flags_ = 0;
  int colour_ = 0;
  int answer_ = 0;
  bool started_ = false;
  std::string caption_;
  bool save_ = false;
  bool capturePrepared_ = false;
  bool firstFrame_ = true;
  uint32_t rate_ = 125;  // tenths of a frame per second
  bool rateFix_ = false;
  uint32_t lastRecorded_ = 0;
  uint32_t repeatCount_ = 1;
  bool warned_ = false;
  bool backendAsked_ = false;
  int32_t frameRateSetting_ = -1;
  platform::OutputFiles& outputs_;
  std::string aviName_ = "video-capture.avi";
  std::unique_ptr<video::SharedImage> shared_;
  std::unique_ptr<video::CaptionBitmap> captionBitmap_;
  std::unique_ptr<video::Window> window_;  // after shared_: it paints from it
  std::unique_ptr<video::AviFile> avi_;
};
