// The display window thread: creates the window, tells the converter it exists, then paints
// the frame image whenever the converter asks, until the owner ends it.
#include "sdl_window.h"

#include <SDL.h>

#include <cstdlib>
#include <string>

namespace video {

namespace {

constexpr const char* windowTitle = "VELOX-E REZ Display";
constexpr Uint32 waitMilliseconds = 100;  // how long the loop may take to see the end

bool isSet(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0';
}

// The video drivers to try: those whose display server the environment names, or the one that
// SDL_VIDEODRIVER names. Asking SDL to probe on its own has it try every driver it has, and
// some of them write to standard error when they find nothing (Wayland without its runtime
// folder, for one); on a machine without a display there is nothing to try.
std::string videoDrivers() {
  if (isSet("SDL_VIDEODRIVER")) return std::getenv("SDL_VIDEODRIVER");
  std::string drivers;
  if (isSet("DISPLAY")) drivers = "x11";
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (isSet("WAYLAND_DISPLAY") && (wayland[0] == '/' || isSet("XDG_RUNTIME_DIR")))
    drivers += drivers.empty() ? "wayland" : ",wayland";
  return drivers;
}

}  // namespace

SdlWindow::SdlWindow(SharedImage& shared, uint32_t background)
    : shared_(shared), background_(background) {}

SdlWindow::~SdlWindow() {
  if (!thread_) return;
  quit_ = true;
  repaint();  // wakes the loop at once
  SDL_WaitThread(thread_, nullptr);
}

void SdlWindow::start() {
  if (thread_) return;
  std::future<void> windowExists = started_.get_future();
  thread_ = SDL_CreateThread(threadEntry, "display", this);
  if (thread_) windowExists.wait();
}

int SdlWindow::threadEntry(void* self) {
  static_cast<SdlWindow*>(self)->run();
  return 0;
}

void SdlWindow::run() {
  const bool made = createWindow();
  open_ = made;
  started_.set_value();
  if (!made) return;
  SDL_ShowWindow(window_);
  paint();
  runEventLoop();
  {
    std::lock_guard<std::mutex> guard(wakeLock_);
    open_ = false;
  }
  destroyWindow();
}

bool SdlWindow::createWindow() {
  // Ctrl+C belongs to the converter's own handler, not to SDL's quit event.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  const std::string drivers = videoDrivers();
  if (drivers.empty()) return false;
  SDL_SetHint(SDL_HINT_VIDEODRIVER, drivers.c_str());
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return false;
  window_ =
      SDL_CreateWindow(windowTitle, 0, 0, int(imageWidth), int(imageHeight), SDL_WINDOW_HIDDEN);
  if (window_) renderer_ = SDL_CreateRenderer(window_, -1, 0);
  if (window_ && !renderer_) renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_SOFTWARE);
  // The fourth byte of a pixel is not alpha: a format that ignores it.
  if (renderer_)
    texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING,
                                 int(imageWidth), int(imageHeight));
  if (texture_) return true;
  destroyWindow();
  return false;
}

void SdlWindow::runEventLoop() {
  while (!quit_) {
    SDL_Event event;
    bool got = SDL_WaitEventTimeout(&event, waitMilliseconds) != 0;
    while (got) {
      // The close box and the quit request are ignored: the window stays until the run ends.
      if (event.type == SDL_WINDOWEVENT && (event.window.event == SDL_WINDOWEVENT_EXPOSED ||
                                            event.window.event == SDL_WINDOWEVENT_RESTORED))
        dirty_ = true;
      got = SDL_PollEvent(&event) != 0;
    }
    if (dirty_.exchange(false) && !quit_) paint();
  }
}

void SdlWindow::paint() {
  SDL_SetRenderDrawColor(renderer_, Uint8(background_ >> 16), Uint8(background_ >> 8),
                         Uint8(background_), 255);
  SDL_RenderClear(renderer_);
  {
    std::lock_guard<std::mutex> guard(shared_.lock);
    SDL_UpdateTexture(texture_, nullptr, shared_.image.pixels.data(), int(imageWidth * 4));
  }
  // The image is stored bottom row first.
  SDL_RenderCopyEx(renderer_, texture_, nullptr, nullptr, 0, nullptr, SDL_FLIP_VERTICAL);
  SDL_RenderPresent(renderer_);
  ++paints_;
}

void SdlWindow::repaint() {
  // Held so that SDL is not shut down while the wake-up event is being pushed.
  std::lock_guard<std::mutex> guard(wakeLock_);
  if (!open_) return;
  if (dirty_.exchange(true)) return;  // a repaint is already on its way
  SDL_Event wake{};
  wake.type = SDL_USEREVENT;
  SDL_PushEvent(&wake);
}

void SdlWindow::destroyWindow() {
  if (texture_) SDL_DestroyTexture(texture_);
  if (renderer_) SDL_DestroyRenderer(renderer_);
  if (window_) SDL_DestroyWindow(window_);
  texture_ = nullptr;
  renderer_ = nullptr;
  window_ = nullptr;
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

}  // namespace video
