// The caption drawn with the SDL test library's 8 x 8 font through a software renderer: no
// video device is needed, so captions are drawn the same with or without a window.
#include <SDL.h>
#include <SDL_test_font.h>

#include "backend_parts.h"

namespace video {

namespace {

constexpr uint32_t glyphSize = FONT_CHARACTER_SIZE;
constexpr uint32_t lineHeight = FONT_LINE_HEIGHT;  // one empty row above and below the glyphs

std::string printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  return shown;
}

// Reads the rendered surface back as a mask: any lit pixel is text.
void readMask(SDL_Surface* surface, CaptionBitmap& caption) {
  caption.mask.assign(size_t(caption.width) * caption.height, 0);
  for (uint32_t y = 0; y < caption.height; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(
        static_cast<const uint8_t*>(surface->pixels) + size_t(y) * surface->pitch);
    for (uint32_t x = 0; x < caption.width; ++x)
      caption.mask[size_t(y) * caption.width + x] = (row[x] & 0x00FFFFFF) != 0;
  }
}

}  // namespace

CaptionBitmap fontCaption(const std::string& text) {
  CaptionBitmap caption;
  caption.text = text;
  if (text.empty()) return caption;
  const std::string shown = printable(text);
  caption.width = static_cast<uint32_t>(shown.size()) * glyphSize;
  caption.height = lineHeight;
  SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormat(0, int(caption.width), int(caption.height),
                                                        32, SDL_PIXELFORMAT_ARGB8888);
  SDL_Renderer* renderer = surface ? SDL_CreateSoftwareRenderer(surface) : nullptr;
  if (renderer == nullptr) {
    // Nothing to draw with: the caption keeps its size as a black box.
    caption.mask.assign(size_t(caption.width) * caption.height, 0);
  } else {
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    SDL_RenderClear(renderer);
    SDL_SetRenderDrawColor(renderer, 255, 255, 255, 255);
    for (size_t i = 0; i < shown.size(); ++i)
      SDLTest_DrawCharacter(renderer, int(i * glyphSize), 1, static_cast<unsigned char>(shown[i]));
    SDL_RenderPresent(renderer);
    readMask(surface, caption);
    // The font keeps its glyph textures per renderer; they go with this one.
    SDLTest_CleanupTextDrawing();
    SDL_DestroyRenderer(renderer);
  }
  if (surface) SDL_FreeSurface(surface);
  return caption;
}

}  // namespace video
