// Measures a conversion against a plain copy of the same input, in one run.
//
//   tarsel-bench [GiB ...]     (default: 1; e.g. "1 4" checks that the cost grows linearly)
//   tarsel-bench --crafted [MiB] [--tarsel PATH]   (default: 256)
//   tarsel-bench --terminal [GiB] [--rounds N]      (default: 1 GiB, 5 rounds)
//
// For each size it writes a recording with the built-in layout's flows interleaved as a recorder
// would (firmware header, software data with header copies, four signal matrices, video, links),
// converts it with default qualifiers and copies it, and prints MiB/s and peak memory of both.
// --crafted converts hostile recordings of the same size beside the clean one: a lone block far
// into each signal flow closing every small cycle, the flows written by eight recording
// sources in turn, and SOFT blocks full of S-Block markers at /postprocess=5; each should convert
// at no less than half the clean speed.
// --terminal measures the status line: the same conversion with its messages on a
// pseudo-terminal (the line drawn) and into a pipe (no line), alternating with a plain copy,
// and prints the medians side by side.
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t blockSize = 272;
constexpr uint8_t marker[6] = {0x5B, 0x53, 0x41, 0x14, 0x54, 0x5D};

void put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

class RecordingWriter {
 public:
  explicit RecordingWriter(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) {
      std::perror(path.c_str());
      std::exit(1);
    }
    buffer_.reserve(64u << 20);
  }
  ~RecordingWriter() {
    flush();
    std::fclose(file_);
  }
  uint64_t written() const { return written_ + buffer_.size(); }

  // One cycle of `bytes` from `base`; `fill` gives the data of block i.
  template <typename Fill>
  void cycle(uint32_t base, uint8_t source, uint32_t bytes, Fill fill) {
    for (uint32_t offset = 0; offset < bytes; offset += 256) {
      size_t at = buffer_.size();
      buffer_.resize(at + blockSize);
      uint8_t* block = buffer_.data() + at;
      std::memset(block, 0, 16);
      put32(block, base + offset);
      block[8] = 1;
      block[9] = source;
      std::memcpy(block + 10, marker, 6);
      fill(block + 16, offset);
      if (buffer_.size() >= (60u << 20)) flush();
    }
  }

 private:
  void flush() {
    std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
    written_ += buffer_.size();
    buffer_.clear();
  }
  FILE* file_;
  std::vector<uint8_t> buffer_;
  uint64_t written_ = 0;
};

enum class Kind { clean, loneFarBlocks, eightSources, fullOfMarkers };

// One SOFT cycle holding a single "DAZ" S-Block whose payload is all 0x5A bytes, so the
// signal-marker scan finds a marker at every fifth byte.
void markerCycle(RecordingWriter& out, uint32_t bytes, uint32_t batch) {
  constexpr uint32_t headerSize = 144, overhead = headerSize + 8;
  out.cycle(0xF0000000, 0x53, bytes, [&](uint8_t* d, uint32_t o) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t at = o + i;
      uint8_t value = 0x5A;
      if (at >= 8 && at < headerSize) value = 0;
      if (at >= bytes - 8) value = 0xA5;
      d[i] = value;
    }
    if (o == 0) {
      put32(d + 12, 0x00010000);
      put32(d + 20, 128 + bytes - overhead);
      put32(d + 40, batch);
      put32(d + 56, bytes - overhead);
      std::memcpy(d + 68, "DAZ", 3);
    }
  });
}

void writeRecording(const std::string& path, uint64_t targetBytes, Kind kind = Kind::clean) {
  RecordingWriter out(path);
  const uint8_t sources[8] = {0x33, 0x53, 0x56, 0x41, 0x42, 0x43, 0x44, 0x45};
  const uint32_t rows = 128, cols = 1024, matrix = rows * cols * 4;  // 512 KiB c16 samples
  for (uint32_t batch = 1; out.written() < targetBytes; ++batch) {
    uint32_t half = batch % 2;
    uint32_t secs = 36000 + batch / 20;
    auto header = [&](uint8_t* d, uint32_t offset, uint32_t wordBase) {
      std::memset(d, 0, 256);
      for (uint32_t w = 0; w < 64; ++w) {
        uint32_t word = offset / 4 + w;
        uint32_t value = 0;
        if (word == wordBase + 4) std::memcpy(&value, "HDR0", 4);
        if (word == wordBase + 24) value = batch;
        if (word == wordBase + 25) value = batch * 781;
        if (word == wordBase + 26) value = rows;
        if (word == wordBase + 27) value = cols;
        if (word == wordBase + 89) value = secs;
        if (word == wordBase + 112) value = batch * 781;
        put32(d + 4 * w, value);
      }
    };
    if (kind == Kind::fullOfMarkers && batch % 16 == 0) markerCycle(out, 64u << 10, batch);
    // Each source writes two batches in turn (both halves), the first binds the layout records.
    uint8_t dsp = kind == Kind::eightSources ? sources[(batch - 1) / 2 % 8] : 0x33;
    out.cycle(0x56004000 + half * 0x1000, 0x33, 4096, [&](uint8_t* d, uint32_t o) { header(d, o, 0); });
    // Software data: a "DSPHDRIN" block carrying the header copy at word 25.
    out.cycle(0xF0000000, 0x53, 16384, [&](uint8_t* d, uint32_t o) {
      header(d, o, 25);
      if (o == 0) std::memcpy(d + 68, "DSPHDRIN", 8);
    });
    for (uint32_t base : {0x80101000u, 0x80401000u, 0x80701000u, 0x80801000u}) {
      auto samples = [&](uint8_t* d, uint32_t o) {
        for (int i = 0; i < 256; ++i) d[i] = static_cast<uint8_t>(o / 256 + i + batch);
      };
      if (kind != Kind::loneFarBlocks) {
        out.cycle(base + half * 0x1000000, dsp, matrix, samples);
        continue;
      }
      // Small cycles, each with one block at index 8000 of the 2 MiB flow.
      for (uint32_t c = 0; c < matrix / (16u << 10); ++c) {
        uint32_t start = base + ((half + c) % 2) * 0x1000000;
        out.cycle(start, 0x33, 16u << 10, samples);
        out.cycle(start + 8000 * 256, 0x33, 256, samples);
      }
    }
    out.cycle(0x10000000 + half * 0x10000, dsp, 16384, [](uint8_t* d, uint32_t) { std::memset(d, 0x5A, 256); });
    if (batch % 10 == 0)
      out.cycle(0xEF000000, 0x33, 640 * 512 + 1024, [](uint8_t* d, uint32_t o) { std::memset(d, o & 0xFF, 256); });
  }
}

struct Measure {
  double seconds;
  long peakKiB;
};

Measure runChild(const std::vector<std::string>& args, const std::string& directory) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(directory.c_str()) != 0) _exit(127);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    std::fprintf(stderr, "%s failed (status %d)\n", args[0].c_str(), status);
  return {seconds, usage.ru_maxrss};
}

// A plain copy through read and write with a 1 MiB buffer, in a child like the conversion.
Measure copyFile(const std::string& from, const std::string& to) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(from.c_str(), O_RDONLY), out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) _exit(1);
    std::vector<char> buffer(1 << 20);
    ssize_t n;
    while ((n = read(in, buffer.data(), buffer.size())) > 0)
      if (write(out, buffer.data(), static_cast<size_t>(n)) != n) _exit(1);
    close(out);
    _exit(n == 0 ? 0 : 1);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {seconds, usage.ru_maxrss};
}

enum class Channel { pipe, terminal };

struct ChannelRun {
  double seconds;
  size_t drawings;  // status lines drawn ("\rfile ")
};

// One conversion with standard output and standard error on `channel`, whose every byte the
// parent reads as a terminal would.
ChannelRun convertInto(Channel channel, const std::string& tarsel, const std::string& recording,
                       const std::string& dir) {
  std::vector<std::string> args{tarsel, recording, "/o=" + dir + "/bench-cv.out", "//o"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  int reader = -1;
  pid_t pid = -1;
  if (channel == Channel::terminal) {
    struct winsize size {};
    size.ws_row = 24;
    size.ws_col = 120;
    pid = forkpty(&reader, nullptr, nullptr, &size);
  } else {
    int ends[2];
    if (pipe(ends) != 0) std::exit(1);
    pid = fork();
    if (pid == 0) {
      dup2(ends[1], 1);
      dup2(ends[1], 2);
      close(ends[0]);
      close(ends[1]);
    } else {
      close(ends[1]);
      reader = ends[0];
    }
  }
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) std::exit(1);
  std::string seen;
  char buffer[4096];
  ssize_t n;
  while ((n = read(reader, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) seen.append(buffer, static_cast<size_t>(n));
  close(reader);
  int status = 0;
  waitpid(pid, &status, 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    std::fprintf(stderr, "%s failed (status %d)\n", tarsel.c_str(), status);
  std::filesystem::remove(dir + "/bench-cv.out");
  size_t drawings = 0;
  for (size_t at = seen.find("\rfile "); at != std::string::npos; at = seen.find("\rfile ", at + 1))
    ++drawings;
  return {seconds, drawings};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

int terminalCost(double gib, int rounds, const std::string& tarsel, const std::string& dir) {
  std::string recording = dir + "/_19-05-17-10-00-00_1.rec";
  writeRecording(recording, static_cast<uint64_t>(gib * (1u << 30)));
  double mib = static_cast<double>(std::filesystem::file_size(recording)) / (1 << 20);
  std::vector<double> copy, piped, terminal;
  size_t drawings = 0;
  for (int round = 0; round < rounds; ++round) {
    copy.push_back(copyFile(recording, dir + "/copy.rec").seconds);
    std::filesystem::remove(dir + "/copy.rec");
    sync();
    // The order of the two conversions changes every round, so neither always follows the copy.
    for (int k = 0; k < 2; ++k) {
      bool onTerminal = (round + k) % 2 == 0;
      ChannelRun r = convertInto(onTerminal ? Channel::terminal : Channel::pipe, tarsel, recording, dir);
      (onTerminal ? terminal : piped).push_back(r.seconds);
      if (onTerminal) drawings += r.drawings;
      sync();
    }
  }
  double copySpeed = mib / median(copy), pipeSpeed = mib / median(piped),
         terminalSpeed = mib / median(terminal);
  std::printf("%.0f MiB, %d rounds, medians\n", mib, rounds);
  std::printf("%12s %18s %18s %14s %17s\n", "copy MiB/s", "tarsel pipe MiB/s", "tarsel tty MiB/s",
              "tty/pipe time", "drawings per run");
  std::printf("%12.0f %18.0f %18.0f %14.3f %17.1f\n", copySpeed, pipeSpeed, terminalSpeed,
              median(terminal) / median(piped), static_cast<double>(drawings) / rounds);
  std::printf("per round (s): copy / pipe / tty\n");
  for (int round = 0; round < rounds; ++round)
    std::printf("  %6.3f %6.3f %6.3f\n", copy[round], piped[round], terminal[round]);
  std::filesystem::remove_all(dir);
  return 0;
}

}  // namespace

// Best of `rounds` conversions of `recording` with `qualifiers` in `dir`.
Measure bestConversion(const std::string& tarsel, const std::string& recording,
                       const std::vector<std::string>& qualifiers, const std::string& dir, int rounds) {
  Measure best{1e30, 0};
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::string> args{tarsel, recording, "/o=" + dir + "/bench-cv.out"};
    args.insert(args.end(), qualifiers.begin(), qualifiers.end());
    Measure m = runChild(args, dir);
    std::filesystem::remove(dir + "/bench-cv.out");
    if (m.seconds < best.seconds) best = m;
  }
  return best;
}

int crafted(double mib, const std::string& tarsel, const std::string& dir) {
  struct Case {
    const char* name;
    Kind kind;
    std::vector<std::string> qualifiers;
    const char* reference;  // the clean case it is compared with
  };
  const Case cases[] = {
      {"clean", Kind::clean, {}, "clean"},
      {"lone far blocks", Kind::loneFarBlocks, {}, "clean"},
      {"eight sources", Kind::eightSources, {}, "clean"},
      {"clean /pp=5", Kind::clean, {"/postprocess=5"}, "clean /pp=5"},
      {"full of markers /pp=5", Kind::fullOfMarkers, {"/postprocess=5"}, "clean /pp=5"},
  };
  std::printf("%-22s %8s %10s %10s %14s\n", "input", "MiB", "MiB/s", "peak MiB", "vs clean");
  std::vector<std::pair<std::string, double>> speeds;
  for (const Case& c : cases) {
    std::string recording = dir + "/_19-05-17-10-00-00_1.rec";
    writeRecording(recording, static_cast<uint64_t>(mib * (1u << 20)), c.kind);
    double size = static_cast<double>(std::filesystem::file_size(recording)) / (1 << 20);
    Measure m = bestConversion(tarsel, recording, c.qualifiers, dir, 2);
    double speed = size / m.seconds;
    double reference = speed;
    for (const auto& [name, s] : speeds)
      if (name == c.reference) reference = s;
    speeds.emplace_back(c.name, speed);
    std::printf("%-22s %8.0f %10.0f %10ld %13.2fx\n", c.name, size, speed, m.peakKiB / 1024,
                speed / reference);
    std::fflush(stdout);
    std::filesystem::remove(recording);
  }
  std::filesystem::remove_all(dir);
  return 0;
}

int main(int argc, char** argv) {
  std::vector<double> sizes;
  bool craftedInputs = false, terminal = false;
  int rounds = 5;
  std::string tarsel = std::string(TARSEL_BINARY_DIR) + "/tarsel";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--crafted") craftedInputs = true;
    else if (arg == "--terminal") terminal = true;
    else if (arg == "--rounds" && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--tarsel" && i + 1 < argc) tarsel = argv[++i];
    else sizes.push_back(std::atof(argv[i]));
  }
  std::string dir = (std::filesystem::temp_directory_path() / "tarsel-bench").string();
  std::filesystem::create_directories(dir);
  if (craftedInputs) return crafted(sizes.empty() ? 256 : sizes[0], tarsel, dir);
  if (terminal) return terminalCost(sizes.empty() ? 1 : sizes[0], rounds, tarsel, dir);
  if (sizes.empty()) sizes.push_back(1);
  std::printf("%8s %10s %12s %12s %10s %12s %8s\n", "input", "MiB", "tarsel MiB/s", "tarsel peak",
              "copy MiB/s", "copy peak", "ratio");
  for (double gib : sizes) {
    std::string recording = dir + "/_19-05-17-10-00-00_1.rec";
    writeRecording(recording, static_cast<uint64_t>(gib * (1u << 30)));
    double mib = static_cast<double>(std::filesystem::file_size(recording)) / (1 << 20);
    // Page-cache write-back makes single runs noisy: alternate three copies and three
    // conversions and keep the best of each.
    Measure copy{1e30, 0}, convert{1e30, 0};
    for (int round = 0; round < 3; ++round) {
      Measure c = copyFile(recording, dir + "/copy.rec");
      std::filesystem::remove(dir + "/copy.rec");
      if (c.seconds < copy.seconds) copy = c;
      Measure t = runChild({tarsel, recording}, dir);
      std::filesystem::remove(dir + "/_19-05-17-10-00-00_1-cv.out");
      if (t.seconds < convert.seconds) convert = t;
      sync();
    }
    std::printf("%6.1fGiB %10.0f %12.0f %9ld MiB %10.0f %8ld MiB %8.2f\n", gib, mib,
                mib / convert.seconds, convert.peakKiB / 1024, mib / copy.seconds,
                copy.peakKiB / 1024, convert.seconds / copy.seconds);
    std::fflush(stdout);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
