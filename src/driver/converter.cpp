#include "driver/converter.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "commandline/messages.h"
#include "platform/platform.h"
#include "products/products.h"

// The loader parses in place and the flow names point into the text, which therefore lives as
// long as the conversion; 2048 spare zero bytes keep the parser's end safely terminated.
std::vector<char> builtInLayoutText() {
  const char* text = defaultLayoutText();
  std::vector<char> buffer(std::strlen(text) + 2048, '\0');
  std::memcpy(buffer.data(), text, std::strlen(text));
  return buffer;
}

namespace {

// The settings as the parts read them: the built-in layout when none was loaded, and /rows
// and /cols as the start values of the header tracking.
ConverterSettings completed(ConverterSettings settings) {
  if (settings.layoutText.empty()) settings.layoutText = builtInLayoutText();
  if (settings.rows) settings.observers.rows = *settings.rows;
  if (settings.cols) settings.observers.cols = *settings.cols;
  return settings;
}

std::string destinationFor(const ConverterSettings& settings) {
  return settings.outfile ? *settings.outfile : destinationNameFor(settings.sources.sourceName);
}

}  // namespace

Converter::Converter(ConverterSettings settings, std::atomic<bool>& stopRequested)
    : settings_(completed(std::move(settings))),
      stopRequested_(stopRequested),
      destinationName_(destinationFor(settings_)) {
  // The video keeps the name derived from the source even when /o names the destination,
  // and lies beside the destination.
  display_.display_set_avi_name(besideDestination(
      destinationName_, "vcapture_" + destinationNameFor(settings_.sources.sourceName) + ".avi"));
  flightTrack_.setFirstSourceName(settings_.sources.sourceName);
}

const char* Converter::loadLayout() {
  return loadFlowTable(settings_.layoutText.data(), table_, observers_.layoutTargets());
}

// An output that is one of the inputs (by device and inode, links followed) would destroy
// it: the run ends before anything is opened for writing.
void Converter::refuseOutputsThatAreInputs() {
  const std::string outputs[] = {destinationName_, "header_in.txt"};
  const std::string inputs[] = {settings_.sources.sourceName, lastSourceName_,
                                settings_.layoutPath};
  for (const std::string& output : outputs)
    for (const std::string& input : inputs)
      if (!input.empty() && platform::sameFile(output.c_str(), input.c_str())) {
        msg::fatal("output %s is the input file %s", output.c_str(), input.c_str());
        msg::exit_with(1);
      }
}

void Converter::openSources() {
  sources_.prepareSources();
  sources_.openFirstSource();
  if (report_.enabled()) {
    report_.setVersion(settings_.version);
    report_.setDestinationName(settings_.sources.analyze ? std::string() : destinationName_);
    // An F message from here on still leaves a report behind.
    msg::setExitHandler([this](int status) {
      if (status != 0) report_.setStop(RunReport::Stop::fatal);
      writeReport(status);
      std::exit(status);
    });
  }
  if (!settings_.sources.analyze) refuseOutputsThatAreInputs();
  if (!settings_.sources.analyze && !output_.open(destinationName_))
    msg::fatalSysError("opening file %s", destinationName_.c_str());
  msg::summaryLine("Destination: %s", destinationName_.c_str());
}

int Converter::run() {
  if (settings_.observers.videoSave) display_.display_save_on();
  if (settings_.observers.videoSave && !settings_.observers.videoShow)
    msg::warning("video capture needs /videoshow");
  if (settings_.frameRate) display_.display_set_frame_rate(*settings_.frameRate);
  postProcess_.setUpPostProcess(settings_.observers.postProcessLevel);
  if (settings_.fixSarHeaders) postProcess_.setFixSarHeaders(true);
  // The status line only on a terminal: a pipe or a file sees exactly the messages.
  if (ProgressLine::wanted()) {
    sources_.measureAhead();
    progress_.startOnTerminal([this] {
      return ProgressCounts{sources_.openedCount(), sources_.knownFiles(), sources_.bytesRead(),
                            sources_.knownBytes()};
    });
  }
  BlockScanner scanner(settings_.run, table_, observers_, sources_, postProcess_, stopRequested_,
                       report_, &progress_);
  int status = scanner.runConversion();
  writeReport(status);
  return status;
}

void Converter::writeReport(int exitStatus) {
  if (!report_.enabled()) return;
  for (const auto& [name, bytes] : sources_.openedFiles()) report_.addSource(name, bytes);
  if (!report_.write(exitStatus)) msg::error("cannot write report %s", settings_.reportPath.c_str());
}
