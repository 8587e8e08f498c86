// Builds recorder blocks and whole recordings in memory for the tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void putU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline void putU32(Bytes& bytes, size_t offset, uint32_t v) { putU32(bytes.data() + offset, v); }

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
