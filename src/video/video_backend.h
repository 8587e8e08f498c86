// The video backend: the SDL window, the SDL caption font and the FFmpeg AVI encoder, built as
// the plugin tarsel-video.so and opened only when a run shows or saves the display. The rest
// of the video subsystem talks to it through the classes below alone, so the program itself
// links neither library. Plugin and program come from one build: the interface is C++, and
// the version below changes whenever a class here does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "frame_image.h"

namespace video {

constexpr uint32_t backendVersion = 1;
/// The plugin's file name and the function it exports.
constexpr const char* backendFileName = "tarsel-video.so";
constexpr const char* backendEntryName = "tarselVideoBackend";

/// The display window on a thread of its own, painting the shared image.
class Window {
 public:
  virtual ~Window() = default;  ///< ends the thread, closing the window, and waits for it
  /// Starts the thread and waits until the window exists or could not be made (no display).
  virtual void start() = 0;
  /// Asks the window thread for a repaint now.
  virtual void repaint() = 0;
  virtual bool isOpen() const = 0;
  /// Repaints done so far.
  virtual uint32_t paints() const = 0;
};

/// One AVI file with one MSVC video stream. Results are 0 or a negative error code (minus an
/// errno value when the failure has one); the caller reports them.
class AviEncoder {
 public:
  virtual ~AviEncoder() = default;  ///< frees what is still open without writing it
  /// Starts the AVI file `name`, written to `path`.
  virtual int open(const char* name, const char* path) = 0;
  virtual bool isOpen() const = 0;
  /// Creates the stream (`rate` tenths of a frame per second, a key frame at least every
  /// `keyFrameInterval` frames); forgets the previous stream's readiness and frame count first.
  /// 1 without an open file; on failure `failedStep` names the step.
  virtual int createStream(uint32_t rate, uint32_t width, uint32_t height,
                           uint32_t keyFrameInterval, const char** failedStep) = 0;
  /// Whether the stream takes frames.
  virtual bool ready() const = 0;
  /// Compresses one frame of 32-bit pixels, bottom row first, and writes what the codec gives.
  virtual int addFrame(const uint32_t* pixels) = 0;
  /// Frames added since the stream was created.
  virtual uint32_t frameCount() const = 0;
  /// What close() found.
  struct Closed {
    bool wasOpen = false;
    bool headerWritten = false;  // the file has a stream header to correct
    int result = 0;              // of writing the end of the file and closing it
  };
  /// Drains the codec, writes the end of the file and closes it.
  virtual Closed close() = 0;
};

/// What the plugin offers.
class Backend {
 public:
  virtual std::unique_ptr<Window> makeWindow(SharedImage& shared, uint32_t background) const = 0;
  virtual std::unique_ptr<AviEncoder> makeEncoder() const = 0;
  /// The caption drawn with the 8 x 8 font (frame_image.h, drawCaption).
  virtual CaptionBitmap drawCaption(const std::string& text) const = 0;

 protected:
  ~Backend() = default;  // one static instance in the plugin
};

/// The backend: the one linked into this program when there is one (the unit tests and the
/// fuzz targets link it in), else the plugin, looked for once per process: $TARSEL_VIDEO_PLUGIN
/// when set, else <folder of the program>/../lib/tarsel/tarsel-video.so (installed), then
/// tarsel-video.so beside the program (the build folder). Null when it cannot be loaded.
const Backend* backend();
/// Why backend() answered null: the file and the loader's reason.
const std::string& backendFailure();

}  // namespace video

/// The plugin's entry point: its backend when `version` is the one it was built with, else null.
extern "C" const video::Backend* tarselVideoBackend(uint32_t version);
