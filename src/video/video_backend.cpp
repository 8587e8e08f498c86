// Finding the video backend: linked in, or the plugin opened on first use.
#include "video_backend.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/shared_library.h"

// Defined only where the backend is linked into the program (the unit tests and the fuzz
// targets, whose wrapped file calls must reach the encoder too); the program itself has no
// definition, so the address reads as null and the plugin is opened instead.
#pragma weak tarselVideoBackend

namespace video {

namespace {

using Entry = const Backend* (*)(uint32_t);

struct Loaded {
  const Backend* backend = nullptr;
  std::string failure;
};

// Where the plugin may be, in the order tried.
std::vector<std::string> candidates() {
  if (const char* chosen = std::getenv("TARSEL_VIDEO_PLUGIN"); chosen && *chosen) return {chosen};
  std::vector<std::string> places;
  const std::string folder = platform::executableFolder();
  if (folder.empty()) {
    places.emplace_back(backendFileName);  // the loader's own search
  } else {
    places.push_back(folder + "/../lib/tarsel/" + backendFileName);
    places.push_back(folder + "/" + backendFileName);
  }
  places.push_back(std::string(TARSEL_PLUGIN_INSTALL_DIR) + "/" + backendFileName);
  places.push_back(std::string(TARSEL_PLUGIN_BUILD_DIR) + "/" + backendFileName);
  return places;
}

Loaded load() {
  Loaded loaded;
  if (&tarselVideoBackend != nullptr) {
    loaded.backend = tarselVideoBackend(backendVersion);
    return loaded;
  }
  // The reason reported is that of the first file that exists, else that of the first file.
  bool reasonFromExisting = false;
  for (const std::string& path : candidates()) {
    const bool exists = ::access(path.c_str(), F_OK) == 0;
    platform::SharedLibrary library(path);
    const auto entry = reinterpret_cast<Entry>(library.symbol(backendEntryName));
    std::string failure;
    if (!entry) {
      failure = library.error();  // not opened, or without the entry point
    } else if ((loaded.backend = entry(backendVersion)) == nullptr) {
      failure = path + ": video plugin of another version (this program needs version " +
                std::to_string(backendVersion) + ")";
    } else {
      return loaded;
    }
    if (loaded.failure.empty() || (exists && !reasonFromExisting)) {
      loaded.failure = failure;
      reasonFromExisting = exists;
    }
  }
  return loaded;
}

const Loaded& loadedOnce() {
  static const Loaded loaded = load();
  return loaded;
}

}  // namespace

const Backend* backend() { return loadedOnce().backend; }

const std::string& backendFailure() { return loadedOnce().failure; }

CaptionBitmap drawCaption(const std::string& text) {
  if (const Backend* videoBackend = backend()) return videoBackend->drawCaption(text);
  // Nothing to draw with: the caption keeps its size as a black box, as when the font's
  // renderer cannot be made.
  CaptionBitmap caption;
  caption.text = text;
  if (text.empty()) return caption;
  caption.width = static_cast<uint32_t>(text.size()) * 8;
  caption.height = 10;
  caption.mask.assign(size_t(caption.width) * caption.height, 0);
  return caption;
}

}  // namespace video
