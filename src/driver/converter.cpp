#include "driver/converter.h"

#include <cstring>
#include <utility>

#include "commandline/messages.h"
#include "products/products.h"

// The loader parses in place and the flow names point into the text, which therefore lives as
// long as the conversion; 2048 spare zero bytes keep the parser's end safely terminated.
std::vector<char> builtInLayoutText() {
  const char* text = defaultLayoutText();
  std::vector<char> buffer(std::strlen(text) + 2048, '\0');
  std::memcpy(buffer.data(), text, std::strlen(text));
  return buffer;
}

Converter::Converter(ConverterSettings settings, std::atomic<bool>& stopRequested)
    : settings_(std::move(settings)), stopRequested_(stopRequested) {
  if (settings_.layoutText.empty()) settings_.layoutText = builtInLayoutText();
}

const char* Converter::loadLayout() {
  return loadFlowTable(settings_.layoutText.data(), table_, observers_.layoutTargets());
}

void Converter::openSources() {
  // The video keeps the name derived from the source even when /o names the destination,
  // and lies beside the destination.
  std::string destination = destinationNameFor(settings_.sources.sourceName);
  std::string aviName = "vcapture_" + destination + ".avi";
  if (settings_.outfile) destination = *settings_.outfile;
  observers_.display.display_set_avi_name(besideDestination(destination, aviName));
  observers_.flightTrack.setFirstSourceName(settings_.sources.sourceName);
  observers_.destinationName = destination;
  if (settings_.rows) observers_.values.currentRows = *settings_.rows;
  if (settings_.cols) observers_.values.currentCols = *settings_.cols;
  sources_.prepareSources();
  sources_.openFirstSource(destination);
}

int Converter::run() {
  if (settings_.observers.videoSave) observers_.display.display_save_on();
  if (settings_.observers.videoSave && !settings_.observers.videoShow)
    msg::warning("video capture needs /videoshow");
  if (settings_.frameRate) observers_.display.display_set_frame_rate(*settings_.frameRate);
  if (!settings_.observers.firmwareHeader)
    observers_.values.currentHeaderObserver = &observers_.softHeaderObserver;
  observers_.decoder = &decoder_;
  postProcess_.setLastSourceName(&observers_.lastSourceName);
  postProcess_.setSignalCopyFilled(&observers_.values.signalCopyFilled);
  postProcess_.setUpPostProcess(settings_.observers.postProcessLevel);
  if (settings_.fixSarHeaders) postProcess_.setFixSarHeaders(true);
  Conversion conversion(settings_.run, table_, observers_, sources_, stopRequested_);
  conversion.setPostProcess(&postProcess_);
  return conversion.runConversion();
}
