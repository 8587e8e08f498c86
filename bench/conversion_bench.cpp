// Measures a conversion against a plain copy of the same input, in one run.
//
//   tarsel-bench [GiB ...] [--rounds N] [--compare PATH]   (default: 1 4, 5 rounds)
//   tarsel-bench --startup [--rounds N]              (default: 21 rounds)
//   tarsel-bench --crafted [MiB] [--tarsel PATH]     (default: 256)
//   tarsel-bench --terminal [GiB] [--rounds N]       (default: 1 GiB, 5 rounds)
//
// For each size it writes a flight with tarsel-synth (beside tarsel in the build folder; without
// it, a recording of its own with the built-in layout's flows interleaved as a recorder would:
// firmware header, software data with header copies, four signal matrices, video, links) and
// measures five contenders side by side, each once a round in an order shuffled anew every
// round: tarsel with default qualifiers, tarsel with all products (/postprocess=3 /gps
// /examine=1 /hfw), `cp --reflink=never`, `cat` into /dev/null and a `dd` from /dev/zero writing
// as many bytes as the default conversion's destination. Every run gets a fresh working folder
// (the previous outputs removed and synced to disk outside the timed part); an untimed
// conversion (for the destination's size) and an untimed read keep the input in the page cache.
// --compare adds another tarsel binary (an earlier build, say) with default qualifiers.
// The columns of the table:
//   wall s, user s, sys s   medians over the rounds: wall time from fork to wait4, user and
//                           system time from the child's rusage
//   peak MiB                the child's ru_maxrss, the largest over the rounds
//   MiB/s                   the bytes it reads (dd: writes) over the median wall time
//   / cp                    tarsel's median wall time over cp's
//   / floor                 tarsel's median wall time over the read + write floor, the median
//                           of cat plus the median of dd
// Beside the table: the wall time of every round, the online CPUs, the load average before the
// recording is written and after the rounds (the latter counts the benchmark's own runs too),
// and the CPU time spent outside the benchmark and its children during the rounds (other
// processes and the kernel's write-back threads), which shows how busy the machine was, and the
// share of the rounds' time in which some task (the benchmark's too) waited for I/O.
// The start-up line converts a recording of one block, alternating with a `cat` of it, and
// prints the median wall times in milliseconds (the goal is under 10 ms for tarsel); the
// default mode ends with it.
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
#include <random>
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
  double user = 0, system = 0;  // CPU seconds
};

double toSeconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

// Waits for child `pid` started at `start`; `name` is reported when it fails.
Measure waitFor(pid_t pid, std::chrono::steady_clock::time_point start, const std::string& name) {
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    std::fprintf(stderr, "%s failed (status %d)\n", name.c_str(), status);
  return {seconds, usage.ru_maxrss, toSeconds(usage.ru_utime), toSeconds(usage.ru_stime)};
}

// Runs `args` (a program on the PATH or a path) in `directory` with its output into /dev/null.
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
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return waitFor(pid, start, args[0]);
}

// A plain copy through read and write with a 1 MiB buffer, in a child like the conversion.
Measure copyFile(const std::string& from, const std::string& to) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(from.c_str(), O_RDONLY),
        out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) _exit(1);
    std::vector<char> buffer(1 << 20);
    ssize_t n;
    while ((n = read(in, buffer.data(), buffer.size())) > 0)
      if (write(out, buffer.data(), static_cast<size_t>(n)) != n) _exit(1);
    close(out);
    _exit(n == 0 ? 0 : 1);
  }
  return waitFor(pid, start, "copy");
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

// One program measured side by side with others.
struct Contender {
  std::string name;
  std::vector<std::string> args;
  double mib = 0;  // what it reads (dd: writes)
  std::vector<Measure> runs;

  double medianOf(double Measure::*field) const {
    std::vector<double> values;
    for (const Measure& m : runs) values.push_back(m.*field);
    return median(values);
  }
  long peakKiB() const {
    long peak = 0;
    for (const Measure& m : runs) peak = std::max(peak, m.peakKiB);
    return peak;
  }
};

// An empty working folder, with what the earlier runs wrote there on disk.
void freshFolder(const std::string& folder) {
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  sync();
}

// Runs every contender once a round, in an order shuffled anew each round, each in a fresh
// `folder`.
void alternate(std::vector<Contender>& contenders, int rounds, const std::string& folder) {
  std::vector<size_t> order(contenders.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::mt19937 shuffler(14);
  for (int round = 0; round < rounds; ++round) {
    std::shuffle(order.begin(), order.end(), shuffler);
    for (size_t i : order) {
      freshFolder(folder);
      contenders[i].runs.push_back(runChild(contenders[i].args, folder));
    }
  }
  freshFolder(folder);
}

// The 1, 5 and 15 minute load averages.
std::string loadAverage() {
  double averages[3] = {};
  FILE* file = std::fopen("/proc/loadavg", "r");
  bool read =
      file && std::fscanf(file, "%lf %lf %lf", &averages[0], &averages[1], &averages[2]) == 3;
  if (file) std::fclose(file);
  char text[64] = "?";
  if (read)
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", averages[0], averages[1], averages[2]);
  return text;
}

// CPU seconds the whole machine has been busy (all but idle and iowait) since it started, less
// those of this process and its waited children.
double othersBusySeconds() {
  unsigned long long ticks[8] = {};
  FILE* file = std::fopen("/proc/stat", "r");
  if (!file) return 0;
  int got = std::fscanf(file, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &ticks[0], &ticks[1],
                        &ticks[2], &ticks[3], &ticks[4], &ticks[5], &ticks[6], &ticks[7]);
  std::fclose(file);
  if (got != 8) return 0;
  unsigned long long busy = ticks[0] + ticks[1] + ticks[2] + ticks[5] + ticks[6] + ticks[7];
  double ours = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    struct rusage usage {};
    getrusage(who, &usage);
    ours += toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
  }
  return static_cast<double>(busy) / static_cast<double>(sysconf(_SC_CLK_TCK)) - ours;
}

// Seconds during which some task has waited for I/O since the machine started (0 where the
// kernel keeps no pressure stall information).
double ioStallSeconds() {
  unsigned long long total = 0;
  FILE* file = std::fopen("/proc/pressure/io", "r");
  if (file && std::fscanf(file, "some avg10=%*f avg60=%*f avg300=%*f total=%llu", &total) != 1)
    total = 0;
  if (file) std::fclose(file);
  return static_cast<double>(total) / 1e6;
}

// Side by side at `gib` GiB: the table the header comment describes.
void sideBySide(double gib, int rounds, const std::string& tarsel, const std::string& earlier,
                const std::string& dir) {
  std::string loadAtStart = loadAverage();
  std::string recording = dir + "/_19-05-17-10-00-00_1.rec", work = dir + "/work";
  // A flight of tarsel-synth gives every product something to write (track, AESA timing,
  // history); without it, the benchmark's own recording.
  std::string synth = std::string(TARSEL_BINARY_DIR) + "/tarsel-synth";
  uint64_t bytes = static_cast<uint64_t>(gib * (1u << 30));
  if (std::filesystem::exists(synth))
    runChild({synth, "--size", std::to_string(bytes), "--time", "10:00:00"}, dir);
  if (!std::filesystem::exists(recording)) writeRecording(recording, bytes);
  double mib = static_cast<double>(std::filesystem::file_size(recording)) / (1 << 20);
  // Untimed: the destination's size, and the input read once more into the page cache.
  freshFolder(work);
  runChild({tarsel, recording}, work);
  std::error_code error;
  uintmax_t destination = std::filesystem::file_size(work + "/_19-05-17-10-00-00_1-cv.out", error);
  if (error) destination = 0;
  runChild({"cat", recording}, work);
  std::vector<Contender> contenders{
      {"tarsel", {tarsel, recording}, mib, {}},
      {"tarsel all products",
       {tarsel, recording, "/postprocess=3", "/gps", "/examine=1", "/hfw"},
       mib,
       {}},
      {"cp --reflink=never", {"cp", "--reflink=never", recording, work + "/copy.rec"}, mib, {}},
      {"cat > /dev/null", {"cat", recording}, mib, {}},
      {"dd of destination size",
       {"dd", "if=/dev/zero", "of=" + work + "/dd.out", "bs=1M",
        "count=" + std::to_string(destination), "iflag=count_bytes"},
       static_cast<double>(destination) / (1 << 20),
       {}},
  };
  if (!earlier.empty()) contenders.push_back({"tarsel --compare", {earlier, recording}, mib, {}});
  auto start = std::chrono::steady_clock::now();
  double othersAtStart = othersBusySeconds(), stallAtStart = ioStallSeconds();
  alternate(contenders, rounds, work);
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double others = othersBusySeconds() - othersAtStart, stall = ioStallSeconds() - stallAtStart;
  double copy = contenders[2].medianOf(&Measure::seconds);
  double floor =
      contenders[3].medianOf(&Measure::seconds) + contenders[4].medianOf(&Measure::seconds);
  std::printf(
      "%g GiB: input %.0f MiB, destination %.0f MiB, %d rounds in shuffled order, medians\n", gib,
      mib, static_cast<double>(destination) / (1 << 20), rounds);
  std::printf("  %-24s %7s %7s %7s %9s %7s %6s %8s\n", "contender", "wall s", "user s", "sys s",
              "peak MiB", "MiB/s", "/ cp", "/ floor");
  for (const Contender& c : contenders) {
    double wall = c.medianOf(&Measure::seconds);
    std::printf("  %-24s %7.3f %7.3f %7.3f %9.1f %7.0f", c.name.c_str(), wall,
                c.medianOf(&Measure::user), c.medianOf(&Measure::system),
                static_cast<double>(c.peakKiB()) / 1024, c.mib / wall);
    if (c.args[0] == tarsel || c.args[0] == earlier)
      std::printf(" %6.2f %8.2f", wall / copy, wall / floor);
    std::printf("\n");
  }
  std::printf("  %-24s %7.3f\n", "floor (cat + dd)", floor);
  std::printf("  wall s of each round:");
  for (const Contender& c : contenders) {
    std::printf("\n    %-22s", c.name.c_str());
    for (const Measure& m : c.runs) std::printf(" %6.3f", m.seconds);
  }
  std::printf(
      "\n  machine: %ld online CPUs; load average at start %s, at end %s;\n"
      "  CPU time outside the benchmark during the rounds: %.1f s in %.1f s (%.0f%% of one CPU);\n"
      "  some task waiting for I/O (the benchmark's too): %.0f%% of that time\n",
      sysconf(_SC_NPROCESSORS_ONLN), loadAtStart.c_str(), loadAverage().c_str(), others, elapsed,
      100 * others / elapsed, 100 * stall / elapsed);
  std::fflush(stdout);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
}

// The time to convert a recording of one block, beside a `cat` of it.
void startup(int rounds, const std::string& tarsel, const std::string& dir) {
  std::string recording = dir + "/_19-05-17-10-00-00_1.rec";
  {
    RecordingWriter out(recording);
    out.cycle(0x10000000, 0x33, 256, [](uint8_t* d, uint32_t) { std::memset(d, 0x5A, 256); });
  }
  std::vector<Contender> contenders{{"tarsel", {tarsel, recording}, 0, {}},
                                    {"cat", {"cat", recording}, 0, {}}};
  alternate(contenders, rounds, dir + "/work");
  std::printf(
      "start-up, one-block recording, %d rounds: median wall tarsel %.1f ms (goal < 10 ms; "
      "user %.1f ms, sys %.1f ms, peak %.1f MiB), cat %.1f ms\n",
      rounds, 1000 * contenders[0].medianOf(&Measure::seconds),
      1000 * contenders[0].medianOf(&Measure::user),
      1000 * contenders[0].medianOf(&Measure::system),
      static_cast<double>(contenders[0].peakKiB()) / 1024,
      1000 * contenders[1].medianOf(&Measure::seconds));
  std::fflush(stdout);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
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
  bool craftedInputs = false, terminal = false, startupOnly = false;
  int rounds = 0;
  std::string tarsel = std::string(TARSEL_BINARY_DIR) + "/tarsel", earlier;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--crafted")
      craftedInputs = true;
    else if (arg == "--terminal")
      terminal = true;
    else if (arg == "--startup")
      startupOnly = true;
    else if (arg == "--rounds" && i + 1 < argc)
      rounds = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--tarsel" && i + 1 < argc)
      tarsel = argv[++i];
    else if (arg == "--compare" && i + 1 < argc)
      earlier = argv[++i];
    else
      sizes.push_back(std::atof(argv[i]));
  }
  std::string dir = (std::filesystem::temp_directory_path() / "tarsel-bench").string();
  std::filesystem::create_directories(dir);
  if (craftedInputs) return crafted(sizes.empty() ? 256 : sizes[0], tarsel, dir);
  if (terminal) return terminalCost(sizes.empty() ? 1 : sizes[0], rounds ? rounds : 5, tarsel, dir);
  if (sizes.empty() && !startupOnly) sizes = {1, 4};
  for (double gib : sizes) sideBySide(gib, rounds ? rounds : 5, tarsel, earlier, dir);
  startup(startupOnly && rounds ? rounds : 21, tarsel, dir);
  std::filesystem::remove_all(dir);
  return 0;
}
