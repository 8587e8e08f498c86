// The output stream of the synthesiser: one large buffer written to numbered files.
#include <cerrno>
#include <cmath>
#include <filesystem>

#include "synth_internal.h"

namespace synth {

namespace {
constexpr size_t bufferBytes = 16u << 20;
constexpr size_t maxRecordedFlips = 100000;
}  // namespace

RecordingWriter::RecordingWriter(const Scenario& scenario, Manifest& manifest)
    : scenario_(scenario), manifest_(manifest), buffer_(bufferBytes), nextIndex_(scenario.firstIndex) {}

RecordingWriter::~RecordingWriter() { closeFile(); }

std::string RecordingWriter::open() {
  openNext();
  return error_;
}

bool RecordingWriter::openNext() {
  closeFile();
  FileRecord record;
  record.name = fileStem(scenario_) + std::to_string(nextIndex_++) + "." + scenario_.extension;
  record.path = (std::filesystem::path(scenario_.outputDir) / record.name).string();
  record.start = written_;
  file_ = std::fopen(record.path.c_str(), "wb");
  if (!file_) {
    error_ = "cannot create " + record.path + ": " + std::strerror(errno);
    return false;
  }
  manifest_.files.push_back(record);
  fileBytes_ = 0;
  return true;
}

void RecordingWriter::closeFile() {
  if (file_ && std::fclose(file_) != 0 && error_.empty()) error_ = "closing a recording file failed";
  file_ = nullptr;
}

void RecordingWriter::put(const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    if (fill_ == buffer_.size()) flush();
    size_t chunk = std::min(n, buffer_.size() - fill_);
    std::memcpy(buffer_.data() + fill_, p, chunk);
    fill_ += chunk;
    p += chunk;
    n -= chunk;
  }
}

void RecordingWriter::splitHere() {
  flush();
  if (fileBytes_ > 0 && error_.empty()) openNext();
}

void RecordingWriter::flush() {
  if (fill_ == 0) return;
  applyBitFlips(buffer_.data(), fill_, flushed_);
  writeOut(buffer_.data(), fill_);
  flushed_ += fill_;
  fill_ = 0;
}

// A split by size starts the next file exactly at the limit, so blocks straddle files.
void RecordingWriter::writeOut(const uint8_t* data, size_t n) {
  while (n > 0 && error_.empty()) {
    if (scenario_.splitBytes && fileBytes_ >= scenario_.splitBytes && !openNext()) return;
    size_t chunk = n;
    if (scenario_.splitBytes) chunk = static_cast<size_t>(std::min<uint64_t>(n, scenario_.splitBytes - fileBytes_));
    if (std::fwrite(data, 1, chunk, file_) != chunk) {
      error_ = "writing " + manifest_.files.back().path + " failed: " + std::strerror(errno);
      return;
    }
    fileBytes_ += chunk;
    written_ += chunk;
    manifest_.files.back().size += chunk;
    data += chunk;
    n -= chunk;
  }
}

namespace {
double uniform(uint64_t& state) {
  state = mix(state, 0xF11B);
  return (static_cast<double>(state >> 11) + 1.0) / 9007199254740993.0;  // (0, 1]
}
uint64_t geometricGap(double rate, uint64_t& state) {
  double gap = std::floor(std::log(uniform(state)) / std::log1p(-rate)) + 1.0;
  return gap > 1e18 ? UINT64_MAX / 2 : static_cast<uint64_t>(gap);
}
}  // namespace

void RecordingWriter::setBitFlips(double rate, uint64_t seed, FaultRecord* record) {
  flipRate_ = rate;
  flipRng_ = seed;
  flipRecord_ = record;
  nextFlipBit_ = rate > 0 ? position() * 8 + geometricGap(rate, flipRng_) - 1 : UINT64_MAX;
}

void RecordingWriter::applyBitFlips(uint8_t* data, size_t n, uint64_t start) {
  while (nextFlipBit_ != UINT64_MAX && nextFlipBit_ / 8 < start + n) {
    uint64_t byte = nextFlipBit_ / 8;
    data[byte - start] ^= static_cast<uint8_t>(1u << (nextFlipBit_ % 8));
    ++flipRecord_->count;
    if (flipRecord_->offsets.size() < maxRecordedFlips) flipRecord_->offsets.push_back(byte);
    nextFlipBit_ += geometricGap(flipRate_, flipRng_);
  }
}

std::string RecordingWriter::finish(uint32_t cutBytes) {
  flush();
  closeFile();
  uint64_t total = flushed_;
  uint64_t cut = std::min<uint64_t>(cutBytes, total);
  // Cut from the end, across files if the last ones are shorter than the cut.
  while (cut > 0 && error_.empty() && !manifest_.files.empty()) {
    FileRecord& last = manifest_.files.back();
    uint64_t take = std::min(cut, last.size);
    std::error_code ec;
    std::filesystem::resize_file(last.path, last.size - take, ec);
    if (ec) {
      error_ = "cutting " + last.path + " failed: " + ec.message();
      break;
    }
    last.size -= take;
    cut -= take;
    total -= take;
    if (last.size == 0 && manifest_.files.size() > 1) {
      std::filesystem::remove(last.path, ec);
      manifest_.files.pop_back();
    }
  }
  manifest_.totalBytes = total;
  manifest_.blocks = blocks_;
  return error_;
}

}  // namespace synth
