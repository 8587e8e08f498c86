// Measures tarsel-records info and list against `cat FILE >/dev/null` on one destination file,
// in one run.
//
//   tarsel-records-bench [MiB]     (default: 1024)
//
// (The file is read from the page cache right after it was written, as cat reads it.)
//
// It writes a destination file of that size with the record mix of a conversion of the
// synthesiser's flights (per batch: software data of the EIF and the DFE, DSP headers, seven
// signal matrices of 32 KiB, links, AESA, timers, the display picture), then runs cat, info and
// list three times each, alternating, and prints the best MiB/s and the peak memory of each.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "records/records.h"

namespace {

struct FlowSize {
  const char* name;
  std::uint8_t source;
  std::uint32_t bytes;
};

// One batch of a conversion, as tarsel-records info shows it for a synthesised flight.
constexpr FlowSize batch[] = {
    {"SOFTDFE", 0x56, 8448}, {"SOFT", 0x53, 2560},     {"SWHDR", 0x33, 4096},
    {"F-HDR", 0x33, 4096},   {"F-GUARD", 0x33, 32768}, {"F-SUM", 0x33, 32768},
    {"F-DC1DAZ", 0x33, 32768}, {"F-DAZ", 0x33, 32768}, {"F-DEL", 0x33, 32768},
    {"SWSUM", 0x33, 32768},  {"SOFT", 0x53, 33024},    {"SOFT", 0x53, 3840},
    {"CTRLINK", 0x33, 2048}, {"EXTLINK", 0x33, 4096},  {"AESA", 0x33, 4096},
    {"DET", 0x33, 8192},     {"EXP", 0x33, 1024},      {"PC", 0x33, 4096},
    {"DISP", 0x33, 512},     {"UNKNOW1", 0x33, 4096},  {"TIMER", 0x33, 5632},
    {"SOFTDFE", 0x56, 4608},
};

/// Writes records of the batch mix until `bytes` are written; signal matrices (32 KiB in the
/// mix) get `signalBytes`.
std::uint64_t writeDestination(const std::string& path, std::uint64_t bytes,
                               std::uint32_t signalBytes, std::uint64_t& count) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::vector<std::uint8_t> record(records::headerSize + std::max<std::uint32_t>(65536, signalBytes));
  std::uint64_t written = 0;
  for (std::uint32_t n = 0; written < bytes; ++n) {
    const FlowSize& f = batch[n % std::size(batch)];
    const std::uint32_t length = f.bytes == 32768 ? signalBytes : f.bytes;
    records::encodeHeader(record.data(), f.name, f.source, 1, length, written);
    std::memset(record.data() + records::headerSize, int(n & 0xFF), length);
    const std::size_t size = records::headerSize + length;
    if (std::fwrite(record.data(), 1, size, out) != size) {
      std::perror(path.c_str());
      std::exit(1);
    }
    written += size;
    ++count;
  }
  std::fclose(out);
  return written;
}

struct Timing {
  double seconds;
  long peakKiB;
};

Timing runQuietly(const std::vector<std::string>& words) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::vector<char*> argv;
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(child, &status, 0, &usage);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", words[0].c_str());
    std::exit(1);
  }
  return {seconds, usage.ru_maxrss};
}

void measure(const std::string& path, std::uint64_t mib, std::uint32_t signalBytes) {
  std::uint64_t count = 0;
  const std::uint64_t size = writeDestination(path, mib << 20, signalBytes, count);
  const double sizeMiB = double(size) / (1 << 20);
  std::printf("destination of %.0f MiB, %llu records, signal matrices of %u KiB:\n", sizeMiB,
              static_cast<unsigned long long>(count), signalBytes >> 10);
  std::fflush(stdout);
  const std::string tool = std::string(TARSEL_BINARY_DIR) + "/tarsel-records";
  struct Contender {
    const char* label;
    std::vector<std::string> command;
    Timing best{1e9, 0};
  } contenders[] = {
      {"cat FILE >/dev/null", {"/bin/cat", path}},
      {"tarsel-records info", {tool, "info", path}},
      {"tarsel-records list", {tool, "list", path}},
      {"tarsel-records list --json", {tool, "list", "--json", path}},
  };
  for (int round = 0; round < 3; ++round)
    for (Contender& c : contenders) {
      const Timing t = runQuietly(c.command);
      c.best.seconds = std::min(c.best.seconds, t.seconds);
      c.best.peakKiB = std::max(c.best.peakKiB, t.peakKiB);
    }
  for (const Contender& c : contenders)
    std::printf("  %-28s %7.0f MiB/s  %6.3f s  peak %5ld KiB\n", c.label, sizeMiB / c.best.seconds,
                c.best.seconds, c.best.peakKiB);
  std::printf("  info: %.1f times the speed of cat\n",
              contenders[0].best.seconds / contenders[1].best.seconds);
  std::fflush(stdout);
  std::filesystem::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const std::string path = (std::filesystem::temp_directory_path() / "tarsel-records-bench.out").string();
  measure(path, mib, 32u << 10);  // the synthesiser's default 32 x 256 matrices
  measure(path, mib, 2u << 20);   // the largest matrices the layout holds
  return 0;
}
