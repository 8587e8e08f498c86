// Shared set-up of the observer tests: flows built in memory, a destination in a temporary
// directory (also the working directory, where "header_in.txt" appears), captured messages.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/test_outputs.h"
#include "flow_observers.h"
#include "header_summary.h"
#include "observers/observers.h"
#include "observers/output_writer.h"
#include "postprocess/postprocess.h"
#include "products/products.h"
#include "soft/soft.h"
#include "support/test_support.h"
#include "video/video.h"

class ObserverTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarsel-obs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    previousDir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    stop();
    std::filesystem::current_path(previousDir_);
    std::filesystem::remove_all(dir_);
  }

  /// The observers for the current settings, bound to every flow as the layout binds ordinary
  /// flows, with the destination "out.bin" open.
  Observers& start(bool withDestination = true) {
    observers_.reset();
    products_.reset();
    products_ = std::make_unique<Products>(destinationName, lastSourceName);
    observers_ = std::make_unique<Observers>(
        settings, table,
        ObserverOutputs{testOutputs(), output, postProcess, products_->flightTrack, products_->display,
                        products_->aesaTiming});
    for (auto& flow : table) flow->observer = &observers_->flowObserver();
    if (withDestination) {
      EXPECT_TRUE(observers_->output.open(path("out.bin")));
    }
    return *observers_;
  }
  Observers& obs() { return *observers_; }
  /// The header tracking, as the header observers write it.
  HeaderTracking& tracking() { return observers_->tracking_; }
  /// Ends the conversion: the observers close their files.
  void stop() {
    observers_.reset();
    products_.reset();
    output.close();
  }

  Flow& addFlow(const char* name, uint32_t base, uint32_t size, uint32_t pingpong = 0,
                int32_t firmware = 1, uint32_t sourceId = 0x33) {
    auto flow = std::make_unique<Flow>();
    flow->name = name;
    flow->base = base;
    flow->size = size;
    flow->pingpong = pingpong;
    flow->firmware = firmware;
    flow->sourceId = sourceId;
    flow->sourceTag = 1;
    flow->build();
    flow->allocate();  // as the first block of a cycle does
    table.push_back(std::move(flow));
    return *table.back();
  }

  /// Puts a complete cycle of `bytes` into the flow as the run would have stored it.
  static void fill(Flow& flow, const std::vector<uint8_t>& bytes) {
    std::memcpy(flow.fillTo(bytes.size()), bytes.data(), bytes.size());
    flow.extent = uint32_t(bytes.size());
    flow.dirty = flow.extent;
    flow.arrivedBlocks = flow.storedBlocks = (flow.extent + 255) / 256;
    flow.touched.clear();
    for (uint32_t i = 0; i < flow.storedBlocks && i < flow.blockCounts.size(); ++i) {
      flow.blockCounts[i] = 1;
      flow.touched.push_back(i);
    }
    flow.idle = 0;
  }
  static void putWord(Flow& flow, uint32_t word, uint32_t value) {
    std::memcpy(flow.fillTo(4 * word + 4) + 4 * word, &value, 4);
  }
  static void putFloat(Flow& flow, uint32_t word, float value) {
    std::memcpy(flow.fillTo(4 * word + 4) + 4 * word, &value, 4);
  }
  static void putName(Flow& flow, const char* name8) { std::memcpy(flow.fillTo(76) + 68, name8, 8); }

  std::string path(const char* name) const { return (dir_ / name).string(); }
  /// Everything written to the destination so far.
  std::string destination() {
    obs().output.outputPosition();
    std::ifstream in(path("out.bin"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static std::string readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  /// How often `text` occurs in the captured messages.
  size_t count(const std::string& text) const {
    size_t n = 0;
    for (size_t at = messages.all.find(text); at != std::string::npos; at = messages.all.find(text, at + 1)) ++n;
    return n;
  }

  ObserverSettings settings;
  FlowTable table;
  CapturedMessages messages{0};
  std::string destinationName = "out.bin";
  std::string lastSourceName;
  OutputWriter output{testOutputs()};
  SoftDecoder decoder;
  PostProcess postProcess{decoder, lastSourceName, testOutputs()};

 private:
  std::filesystem::path dir_;
  std::filesystem::path previousDir_;
  // The products with files of their own, closed by stop() as the end of a run closes them.
  struct Products {
    Products(const std::string& destination, const std::string& lastSource)
        : flightTrack(destination, lastSource, testOutputs()),
          aesaTiming(destination, lastSource, testOutputs()) {}
    FlightTrack flightTrack;
    AesaTimingAnalysis aesaTiming;
    Display display{testOutputs()};
  };
  std::unique_ptr<Products> products_;
  std::unique_ptr<Observers> observers_;
};
