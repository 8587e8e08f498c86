// The display window: an SDL window on a thread of its own that paints the shared frame image.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <mutex>

#include "video_backend.h"

struct SDL_Window;
struct SDL_Renderer;
struct SDL_Texture;
struct SDL_Thread;

namespace video {

/// The window and its thread. SDL wants every call on a window made by the thread that created
/// it, so the thread owns the window from creation to destruction; the converter only marks the
/// image as changed. The thread is one of SDL's, which frees SDL's per-thread data at its end.
class SdlWindow final : public Window {
 public:
  /// `background` is 0xRRGGBB; the image is painted under its lock.
  SdlWindow(SharedImage& shared, uint32_t background);
  SdlWindow(const SdlWindow&) = delete;
  SdlWindow& operator=(const SdlWindow&) = delete;
  /// Ends the thread (closing the window) and waits for it.
  ~SdlWindow() override;

  void start() override;
  void repaint() override;
  bool isOpen() const override { return open_; }
  uint32_t paints() const override { return paints_; }

 private:
  static int threadEntry(void* self);
  void run();
  bool createWindow();
  void runEventLoop();
  void paint();
  void destroyWindow();

  SharedImage& shared_;
  const uint32_t background_;
  SDL_Thread* thread_ = nullptr;
  std::promise<void> started_;
  std::mutex wakeLock_;
  std::atomic<bool> open_{false};
  std::atomic<bool> quit_{false};
  std::atomic<bool> dirty_{false};
  std::atomic<uint32_t> paints_{0};
  // Window thread only.
  SDL_Window* window_ = nullptr;
  SDL_Renderer* renderer_ = nullptr;
  SDL_Texture* texture_ = nullptr;
};

}  // namespace video
