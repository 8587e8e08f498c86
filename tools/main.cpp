// tarsel-synth: writes a synthetic recording, its manifest and, when asked, its cycle map.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "synth.h"

int main(int argc, char** argv) {
  synth::Scenario scenario;
  std::vector<std::string> args(argv + 1, argv + argc);
  bool help = false;
  std::string error = synth::parseCommandLine(scenario, args, help);
  if (help) {
    std::fputs(synth::usageText().c_str(), stdout);
    return 0;
  }
  if (!error.empty()) {
    std::fprintf(stderr, "tarsel-synth: %s (--help lists the options)\n", error.c_str());
    return 2;
  }
  synth::Manifest manifest;
  error = synth::writeRecording(scenario, manifest);
  if (!error.empty()) {
    std::fprintf(stderr, "tarsel-synth: %s\n", error.c_str());
    return error.rfind("cannot", 0) == 0 || error.find("failed") != std::string::npos ? 1 : 2;
  }
  std::string manifestPath = scenario.manifestPath;
  if (manifestPath.empty())
    manifestPath = (std::filesystem::path(scenario.outputDir) / (manifest.files.front().name + ".manifest.json")).string();
  std::ofstream out(manifestPath, std::ios::binary);
  out << synth::manifestJson(scenario, manifest);
  if (!out.flush()) {
    std::fprintf(stderr, "tarsel-synth: cannot write %s\n", manifestPath.c_str());
    return 1;
  }
  if (!scenario.cycleMapPath.empty()) {
    std::ofstream map(scenario.cycleMapPath, std::ios::binary);
    map << synth::cycleMapLines(manifest);
    if (!map.flush()) {
      std::fprintf(stderr, "tarsel-synth: cannot write %s\n", scenario.cycleMapPath.c_str());
      return 1;
    }
  }
  if (!scenario.quiet) {
    double mib = manifest.totalBytes / 1048576.0;
    std::printf("%s: %zu file(s), %llu bytes, %llu blocks, %u batches (%u..%u) in %.2f s (%.0f MiB/s)\n",
                manifest.files.front().path.c_str(), manifest.files.size(),
                static_cast<unsigned long long>(manifest.totalBytes), static_cast<unsigned long long>(manifest.blocks),
                manifest.iterations, manifest.firstBatch, manifest.lastBatch, manifest.seconds,
                manifest.seconds > 0 ? mib / manifest.seconds : 0.0);
    std::printf("manifest: %s\n", manifestPath.c_str());
  }
  return 0;
}
