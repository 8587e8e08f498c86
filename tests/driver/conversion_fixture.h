// One conversion over recordings written into a temporary directory, with the messages captured.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/test_outputs.h"
#include "progress.h"
#include "run_report.h"
#include "scanner.h"
#include "source_sequence.h"
#include "layout/layout.h"
#include "observers/observers.h"
#include "observers/output_writer.h"
#include "postprocess/postprocess.h"
#include "products/products.h"
#include "soft/soft.h"
#include "video/video.h"
#include "support/recording.h"
#include "support/test_support.h"

class ConversionFixture : public ::testing::Test {
 protected:
  // Products write into the working directory: keep them in the test's own.
  void SetUp() override {
    msg::init("tarsel", 0);
    previousDirectory = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
  }
  void TearDown() override { std::filesystem::current_path(previousDirectory); }

  /// Loads `text` (the built-in layout when empty); a non-null `observer` then gets every flow.
  void loadLayout(const std::string& text, IFlowObserver* observer) {
    std::string layout = text.empty() ? std::string(defaultLayoutText()) : text;
    layoutText.assign(layout.begin(), layout.end());
    layoutText.resize(layoutText.size() + 2048, '\0');
    ASSERT_EQ(loadFlowTable(layoutText.data(), table, observers().layoutTargets()), nullptr);
    if (observer)
      for (auto& flow : table) flow->observer = observer;
  }

  /// Writes the files as a numbered sequence and runs one conversion over them (no destination),
  /// with the progress line when one is given.
  void convert(const std::vector<Bytes>& files, ProgressLine* progress = nullptr) {
    for (size_t i = 0; i < files.size(); ++i)
      writeFile(dir.file("_19-05-17-10-30-00_" + std::to_string(i + 1) + ".rec"), files[i]);
    sourceSettings.sourceName = dir.file("_19-05-17-10-30-00_1.rec");
    if (files.size() > 1) sourceSettings.concatenate = -1;
    sourceSettings.analyze = true;
    SourceSequence sources(sourceSettings, display, observers().headerCounters(), lastSourceName,
                           testOutputs());
    sources.prepareSources();
    sources.openFirstSource();
    RunReport report;
    BlockScanner scanner(run, table, observers(), sources, postProcess, stop, report, testOutputs(),
                         progress);
    scanner.runConversion();
  }

  /// The observers, built at first use with the settings as they are then.
  Observers& observers() {
    if (!observers_)
      observers_ = std::make_unique<Observers>(
          settings, table,
          ObserverOutputs{testOutputs(), output, postProcess, flightTrack, display, aesaTiming});
    return *observers_;
  }

  const std::string& lines() const { return messages.all; }

  CapturedMessages messages{0};
  TempDir dir;
  ObserverSettings settings;
  FlowTable table;
  std::string destinationName = "unused.out";
  std::string lastSourceName;
  OutputWriter output{testOutputs()};
  SoftDecoder decoder;
  PostProcess postProcess{decoder, lastSourceName, testOutputs()};
  FlightTrack flightTrack{destinationName, lastSourceName, testOutputs()};
  AesaTimingAnalysis aesaTiming{destinationName, lastSourceName, testOutputs()};
  Display display{testOutputs()};
  std::unique_ptr<Observers> observers_;
  RunSettings run;
  SourceSettings sourceSettings;
  std::atomic<bool> stop{false};
  std::vector<char> layoutText;
  std::filesystem::path previousDirectory;
};
