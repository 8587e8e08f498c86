// The display: frames from the converter thread into the window's image and the capture.
#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>

#include "commandline/messages.h"
#include "format/format.h"
#include "avi_file.h"
#include "frame_image.h"
#include "video_backend.h"
#include "video/video.h"

namespace {

constexpr uint32_t defaultRate = 125;  // 12.5 frames per second
constexpr uint32_t keyFrameInterval = 50;
constexpr int codecDefaultQuality = -1;

uint32_t frameNumberOf(const uint8_t* frame, size_t length) {
  if (frame == nullptr) return 0;
  return format::u32At(std::span<const uint8_t>(frame, length), video::frameNumberAt);
}

}  // namespace

Display::Display(platform::OutputFiles& outputs) : outputs_(outputs) {}

Display::~Display() {
  window_.reset();
  avi_.reset();
}

void Display::display_set_caption(const char* text) { caption_ = video::captionOf(text); }

void Display::display_set_avi_name(const std::string& name) { aviName_ = name; }

void Display::display_save_on() { save_ = true; }

void Display::display_set_frame_rate(int32_t setting) { frameRateSetting_ = setting; }

void Display::display_start(int answer, int flags, int colour) {
  flags_ = flags;
  colour_ = colour;
  if (answer < -999 || started_) return;
  answer_ = answer;
  if (!shared_) shared_ = std::make_unique<video::SharedImage>();
  // Without the backend there is no window, as without a display; frames are still converted.
  if (const video::Backend* backend = videoBackend()) {
    window_ = backend->makeWindow(*shared_, video::backgroundColour(flags_, colour_));
    window_->start();
  }
  started_ = true;
}

int Display::display_frame(const uint8_t* frame, size_t length) {
  const uint32_t frameNumber = frameNumberOf(frame, length);
  if (firstFrame_) prepareCapture(frameNumber);
  if (!started_) return 0;
  {
    std::lock_guard<std::mutex> guard(shared_->lock);
    video::convertFrame(frame, length, shared_->image);
    if (save_) stampCaption();
  }
  if (save_) recordFrame(frameNumber);
  if (window_) window_->repaint();
  return answer_;
}

void Display::prepareCapture(uint32_t frameNumber) {
  firstFrame_ = false;
  rate_ = defaultRate;
  if (frameRateSetting_ > 0)
    rate_ = static_cast<uint32_t>(std::min<int64_t>(int64_t(frameRateSetting_) * 5, INT_MAX));
  else if (frameRateSetting_ < 0)
    rateFix_ = true;
  lastRecorded_ = frameNumber;
  if (save_) {
    videoBackend();  // a backend that cannot be loaded is reported before the capture fails
    if (!avi_) avi_ = std::make_unique<video::AviFile>(outputs_);
    if (avi_->open(aviName_.c_str()))
      avi_->createVideoStream(rate_, video::imageWidth, video::imageHeight, keyFrameInterval,
                              codecDefaultQuality);
  }
  capturePrepared_ = true;
}

const video::Backend* Display::videoBackend() {
  if (!backendAsked_) {
    backendAsked_ = true;
    if (!video::backend())
      msg::warning("video plugin not loaded: %s", video::backendFailure().c_str());
  }
  return video::backend();
}

void Display::stampCaption() {
  if (!captionBitmap_ || captionBitmap_->text != caption_)
    captionBitmap_ = std::make_unique<video::CaptionBitmap>(video::drawCaption(caption_));
  video::stampCaption(*captionBitmap_, shared_->image);
}

void Display::recordFrame(uint32_t frameNumber) {
  if (!avi_) avi_ = std::make_unique<video::AviFile>(outputs_);  // saving turned on after the first frame
  uint32_t count = 1;
  if (rateFix_) {
    count = video::frameRepeatCount(frameNumber, lastRecorded_, rate_);
    if (count != repeatCount_ && !warned_) {
      warned_ = true;
      msg::warning("Frame rate fix %u", count);
    }
    repeatCount_ = count;
    lastRecorded_ = frameNumber;
  }
  // Only this thread draws into the image, so reading it here needs no lock.
  for (uint32_t i = 0; i < count; ++i) avi_->addVideoFrame(shared_->image.pixels.data());
}

void Display::display_delay(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void Display::display_finish() {
  if (save_ && capturePrepared_ && avi_) avi_->close();
}

const video::FrameImage& Display::image() const { return shared_->image; }

bool Display::windowOpen() const { return window_ && window_->isOpen(); }

uint32_t Display::windowPaints() const { return window_ ? window_->paints() : 0; }

uint32_t Display::recordedFrames() const { return avi_ ? avi_->frameCount() : 0; }
