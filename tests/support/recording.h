// Builds recorder blocks and whole recordings in memory for the tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "format/format.h"

using Bytes = std::vector<uint8_t>;

inline void putU32(uint8_t* p, uint32_t v) { format::putU32At(std::span<uint8_t>(p, 4), 0, v); }

inline void putU32(Bytes& bytes, size_t offset, uint32_t v) { format::putU32At(bytes, offset, v); }

constexpr uint8_t sourceDsp = 0x33, sourceEif = 0x53, sourceDfe = 0x56;

/// One 272-byte recorder block: header (address, 4 spare bytes, tag, source id, marker) and data.
inline Bytes recorderBlock(uint32_t address, uint8_t sourceId, const Bytes& data = {},
                           uint8_t tag = 1) {
  Bytes block(272, 0);
  putU32(block.data(), address);
  block[8] = tag;
  block[9] = sourceId;
  const uint8_t marker[6] = {0x5B, 0x53, 0x41, 0x14, 0x54, 0x5D};
  std::memcpy(block.data() + 10, marker, 6);
  if (!data.empty()) std::memcpy(block.data() + 16, data.data(), std::min<size_t>(256, data.size()));
  return block;
}

/// A block whose data is filled with one byte value.
inline Bytes filledBlock(uint32_t address, uint8_t sourceId, uint8_t fill, uint8_t tag = 1) {
  return recorderBlock(address, sourceId, Bytes(256, fill), tag);
}

/// The blocks of one cycle: `bytes` of data from `base`, block 0 first, with `data` as content.
inline Bytes cycleBlocks(uint32_t base, uint8_t sourceId, const Bytes& data, uint8_t tag = 1) {
  Bytes out;
  for (size_t offset = 0; offset < data.size(); offset += 256) {
    Bytes chunk(data.begin() + offset, data.begin() + std::min(data.size(), offset + 256));
    Bytes block = recorderBlock(base + static_cast<uint32_t>(offset), sourceId, chunk, tag);
    out.insert(out.end(), block.begin(), block.end());
  }
  return out;
}

inline void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

/// A fresh temporary directory removed at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarsel-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

/// Fields of a DSP header at the built-in layout's word offsets.
struct DspHeaderFields {
  uint32_t batch = 1;
  uint32_t secondsOfDay = 0;  // word 89
  uint32_t mode = 0;          // word 34
  uint32_t rows = 4;          // word 26
  uint32_t cols = 8;          // word 27
};

/// One cycle of the built-in layout's firmware header flow (DISPHEADER, format "H"): "HDR0",
/// batch, time tag 1000 + batch and the fields; odd batches use the second half.
inline Bytes dispHeaderCycle(const DspHeaderFields& f) {
  Bytes header(4096, 0);
  std::memcpy(header.data() + 16, "HDR0", 4);
  putU32(header, 24 * 4, f.batch);
  putU32(header, 25 * 4, 1000 + f.batch);
  putU32(header, 26 * 4, f.rows);
  putU32(header, 27 * 4, f.cols);
  putU32(header, 34 * 4, f.mode);
  putU32(header, 89 * 4, f.secondsOfDay);
  return cycleBlocks(0x56004000 + (f.batch % 2) * 0x1000, sourceDsp, header);
}

/// Batches first..last, each a firmware header (time of day counting up from `secondsOfDay`)
/// and one 4096-byte F-SUM cycle whose bytes depend on the batch.
inline Bytes headerAndSignalBatches(uint32_t first, uint32_t last, uint32_t secondsOfDay = 37815) {
  Bytes recording;
  for (uint32_t batch = first; batch <= last; ++batch) {
    append(recording, dispHeaderCycle({batch, secondsOfDay + batch - first}));
    Bytes signal(4096);
    for (size_t i = 0; i < signal.size(); ++i) signal[i] = static_cast<uint8_t>(i * 7 + batch);
    append(recording, cycleBlocks(0x80101000 + (batch % 2) * 0x1000000, sourceDsp, signal));
  }
  return recording;
}

/// A temporary directory that is the working directory while the object lives (products write
/// their files into the working directory).
class WorkInTempDir {
 public:
  WorkInTempDir() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir_.path());
  }
  ~WorkInTempDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  std::filesystem::path previous_;
  TempDir dir_;
};
