// The pieces of the video backend that backend.cpp puts together.
#pragma once

#include <memory>
#include <string>

#include "video_backend.h"

namespace video {

/// The caption drawn with SDL's test font through a software renderer.
CaptionBitmap fontCaption(const std::string& text);

/// The AVI encoder over libavformat and libavcodec.
std::unique_ptr<AviEncoder> makeFfmpegEncoder();

}  // namespace video
