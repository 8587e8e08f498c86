#include "converter.h"

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

void reportWriteError(const std::string& name, int error) {
  errno = error;
  msg::logSysError(msg::E, "write error on %s", name.c_str());
}

// An output that is one of the inputs would destroy it: the run ends, and what was written
// under temporary names is discarded.
void refuseClash(const std::string& output, const std::string& input) {
  msg::fatal("output %s is the input file %s", output.c_str(), input.c_str());
  msg::exit_with(1);
}

}  // namespace

Converter::Converter(ConverterSettings settings, std::atomic<bool>& stopRequested)
    : settings_(completed(std::move(settings))),
      stopRequested_(stopRequested),
      destinationName_(destinationFor(settings_)),
      previousExit_(msg::setExitHandler([this](int status) { endOfProcess(status); })),
      outputs_(reportWriteError, refuseClash, settings_.outputNaming) {
  // The video keeps the name derived from the source even when /o names the destination,
  // and lies beside the destination.
  display_.display_set_avi_name(besideDestination(
      destinationName_, "vcapture_" + destinationNameFor(settings_.sources.sourceName) + ".avi"));
  flightTrack_.setFirstSourceName(settings_.sources.sourceName);
}

Converter::~Converter() { msg::setExitHandler(std::move(previousExit_)); }

// An F message ends the process from inside the run: the files still open are discarded, so
// their final names keep what they held before (the destination is closed with its whole
// records first where the scan keeps them); the report is written when asked for.
void Converter::endOfProcess(int status) {
  if (status != 0) {
    output_.abandon();
    outputs_.discardOpen();
    if (reportOnExit_) report_.setStop(RunReport::Stop::fatal);
  } else {
    output_.close();
    outputs_.closeAll();
  }
  if (reportOnExit_) writeReport(status);
  msg::ExitHandler previous = previousExit_;
  if (previous) previous(status);
  std::exit(status);
}

const char* Converter::loadLayout() {
  return loadFlowTable(settings_.layoutText.data(), table_, observers_.layoutTargets());
}

// Every output the run will write is compared with every input (by device and inode, links
// followed) before anything is opened for writing; later files of a sequence are compared as
// they are opened, and every output again when it is created.
void Converter::planOutputs() {
  outputs_.addInput(settings_.sources.sourceName);
  outputs_.addInput(lastSourceName_);
  outputs_.addInput(settings_.layoutPath);
  outputs_.plan(destinationName_);
  outputs_.plan("header_in.txt");
  const ObserverSettings& o = settings_.observers;
  if (o.trackMode >= 0) {
    outputs_.plan(outputName("track", destinationName_, "txt"));
    outputs_.plan(outputName("track", destinationName_, "gpx"));
  }
  if (o.examine & 1) {
    outputs_.plan(outputName("timer", destinationName_, "txt"));
    outputs_.plan(outputName("ant_pos", destinationName_, "txt"));
  }
  if (o.videoSave) outputs_.plan(display_.aviName());
}

void Converter::openSources() {
  sources_.prepareSources();
  sources_.openFirstSource();
  if (report_.enabled()) {
    report_.setVersion(settings_.version);
    report_.setDestinationName(settings_.sources.analyze ? std::string() : destinationName_);
    reportOnExit_ = true;  // an F message from here on still leaves a report behind
  }
  if (!settings_.sources.analyze) planOutputs();
  if (!settings_.sources.analyze && !output_.open(destinationName_))
    msg::fatalSysError("opening file %s", destinationName_.c_str());
  msg::summaryLine("Destination: %s", destinationName_.c_str());
}

int Converter::run() {
  if (settings_.observers.videoSave) display_.display_save_on();
  if (settings_.observers.videoSave && !settings_.observers.videoShow)
    msg::warning("video capture needs /videoshow");
  if (settings_.frameRate) display_.display_set_frame_rate(*settings_.frameRate);
  postProcess_.setUp(settings_.observers.postProcessLevel, settings_.fixSarHeaders);
  // The status line only on a terminal: a pipe or a file sees exactly the messages.
  if (ProgressLine::wanted()) {
    sources_.measureAhead();
    progress_.startOnTerminal([this] {
      return ProgressCounts{sources_.openedCount(), sources_.knownFiles(), sources_.bytesRead(),
                            sources_.knownBytes()};
    });
  }
  BlockScanner scanner(settings_.run, table_, observers_, sources_, postProcess_, stopRequested_,
                       report_, outputs_, &progress_);
  int status = scanner.runConversion();
  // SIGTERM and SIGHUP end the run normally, then the process with 128 + the signal.
  if (int signalStatus = platform::stopExitStatus()) status = signalStatus;
  writeReport(status);
  return status;
}

void Converter::writeReport(int exitStatus) {
  if (!report_.enabled()) return;
  for (const auto& [name, bytes] : sources_.openedFiles()) report_.addSource(name, bytes);
  for (const auto& [name, bytes] : outputs_.closedFiles())
    if (name != destinationName_) report_.addProduct(name, bytes);
  if (!report_.write(exitStatus)) msg::error("cannot write report %s", settings_.reportPath.c_str());
}
