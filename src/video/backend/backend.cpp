// The plugin's entry point: one backend object for the process.
#include "backend_parts.h"
#include "sdl_window.h"

namespace video {

namespace {

class SdlFfmpegBackend final : public Backend {
 public:
  std::unique_ptr<Window> makeWindow(SharedImage& shared, uint32_t background) const override {
    return std::make_unique<SdlWindow>(shared, background);
  }
  std::unique_ptr<AviEncoder> makeEncoder() const override { return makeFfmpegEncoder(); }
  CaptionBitmap drawCaption(const std::string& text) const override { return fontCaption(text); }
};

}  // namespace

}  // namespace video

extern "C" __attribute__((visibility("default"))) const video::Backend* tarselVideoBackend(
    uint32_t version) {
  static const video::SdlFfmpegBackend backend{};
  return version == video::backendVersion ? &backend : nullptr;
}
