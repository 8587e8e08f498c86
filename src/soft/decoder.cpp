#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "commandline/messages.h"
#include "format/format.h"
#include "soft/soft.h"

namespace {

constexpr uint32_t startMarkerWord = 0x5A5A5A5A;
constexpr uint32_t endMarkerWord = 0xA5A5A5A5;
constexpr uint32_t markerSize = 8;
constexpr uint32_t sblockFirstPart = 16, sblockSecondPart = 120;
constexpr uint32_t sblockSizeAt = 20 - markerSize;     // in the first header part
constexpr uint32_t sblockNameAt = 68 - 24;             // in the second header part
constexpr uint32_t sblockHeaderBias = 128;             // S = 128 + data length
constexpr uint32_t rawWordAt[5] = {36, 40, 44, 52, 56};  // block words 9, 10, 11, 13, 14
constexpr uint32_t rawMinimum = 60;
constexpr uint32_t extendedFirstRead = 132;
constexpr uint32_t extendedLengthAt = 52;
constexpr uint32_t extendedLengthMinimum = 88;         // H - 88 more bytes follow the first 132
constexpr uint32_t extendedHeaderExtra = extendedFirstRead - extendedLengthMinimum;
constexpr uint32_t extensionHeaderSize = 16;

enum LoggerLevel { debugLevel = 0, detailLevel = 1, noticeLevel = 4, damageLevel = 5 };

using format::RecordHeader;
using format::u32At;

bool isMarker(std::span<const uint8_t> bytes, uint32_t word) {
  return u32At(bytes, 0) == word && u32At(bytes, 4) == word;
}

// The decoder answers a name's first 8 bytes as one little-endian number.
uint64_t nameKey(const char* name) {
  uint64_t key = 0;
  for (int i = 7; i >= 0; --i) key = key << 8 | uint8_t(name[i]);
  return key;
}

unsigned long long ull(uint64_t value) { return value; }

void fillWords(BlockInfo& info, std::span<const uint8_t, rawMinimum> block) {
  uint32_t* words[5] = {&info.word9, &info.word10, &info.word11, &info.word13, &info.word14};
  for (int i = 0; i < 5; ++i) *words[i] = u32At(block, rawWordAt[i]);
}

}  // namespace

void SoftDecoder::decodeSoftRecord(uint32_t sourceId, const char* sourceName,
                                   const uint8_t* data, uint32_t length) {
  if (postProcessLevel_ < -1) return;
  currentSourceId_ = sourceId;
  currentSourceName_ = sourceName;
  memoryReader_.base = data;
  memoryReader_.size = data ? length : 0;
  memoryReader_.position = 0;
  mode_ = 0;
  chunkEnd_ = 0;
  sblockEnd_ = 0;
  while (decodeNext() != 0) {
  }
}

uint64_t SoftDecoder::decodeNext() {
  for (;;) {
    bool again = false;
    uint64_t answer = mode_ == 0 ? betweenChunks(again) : insideStream(again);
    if (!again) return answer;
  }
}

void SoftDecoder::setSoftReader(VeloxPlaybackStreamReader* reader) {
  reader_ = reader ? reader : &memoryReader_;
}

uint64_t SoftDecoder::recordLimit() const {
  return reader_ == &memoryReader_ ? memoryReader_.size : std::numeric_limits<uint64_t>::max();
}

bool SoftDecoder::readExact(void* destination, uint32_t length) {
  return reader_->read(destination, length) >= 0;
}

uint64_t SoftDecoder::betweenChunks(bool& again) {
  if (chunkEnd_ != 0) {
    uint64_t end = chunkEnd_;
    chunkEnd_ = 0;
    // A chunk that ends with the record ends it: the reader refuses a seek to its very end.
    if (end >= recordLimit() || reader_->seek(end) != 0) return 0;
  }
  // The marker is read first; the rest of the record header follows only after a record marker.
  uint8_t bytes[RecordHeader::size];
  if (!readExact(bytes, markerSize)) return 0;
  const std::span<const uint8_t> marker(bytes, markerSize);
  if (RecordHeader::parse(marker).hasMarker()) {
    if (!readExact(bytes + markerSize, RecordHeader::size - markerSize)) return 0;
    const RecordHeader header = RecordHeader::parse(bytes);
    uint32_t length = header.length;
    uint64_t dataStart = reader_->tell();
    if (dataStart + length > recordLimit()) {
      current_logger().log(damageLevel, "Chunk %.8s length %u beyond record @0x%llX (end 0x%llx)",
                           header.name.data(), length, ull(dataStart), ull(recordLimit()));
      return 0;
    }
    chunkEnd_ = dataStart + length;
    chunkSourceId_ = header.sourceId;
    chunkSourceTag_ = header.sourceTag;
    if (std::memcmp(header.name.data(), "SOFT", 4) != 0)
      return dispatchChunk(header.name.data(), length);
    mode_ = 1;
    sblockEnd_ = 0;
    firstRead_ = false;
    again = true;
    return 0;
  }
  if (firstRead_ && isMarker(marker, startMarkerWord)) {
    current_logger().log(noticeLevel, "Soft recorded data?");
    firstRead_ = false;
    mode_ = 2;
    sblockEnd_ = 0;
    reader_->seek(reader_->tell() - markerSize);
    again = true;
    return 0;
  }
  firstRead_ = false;
  return 0;
}

uint64_t SoftDecoder::dispatchChunk(const char* name, uint32_t length) {
  BlockInfo info{};
  std::memcpy(info.name, name, 8);
  info.sourceId = chunkSourceId_;
  info.sourceTag = chunkSourceTag_;
  info.size = length;
  info.position = reader_->tell();
  for (auto& entry : blockObservers_) {
    if (entry.callback == nullptr) break;
    if (std::strncmp(entry.name.c_str(), info.name, 8) == 0)
      entry.callback(entry.contextForCall(), info);
  }
  callBlockCallback(info.name);
  return nameKey(info.name);
}

uint64_t SoftDecoder::insideStream(bool& again) {
  lastEnd_ = 0;
  if (sblockEnd_ != 0 && !finishSBlock()) return 0;
  uint8_t marker[markerSize];
  if (!readExact(marker, markerSize)) {
    // A reader that cannot tell its end answers true here and stays quiet.
    if (!reader_->atEnd()) current_logger().log(damageLevel, "EOF?");
    mode_ = 0;
    return 0;
  }
  if (isMarker(marker, startMarkerWord)) return dispatchSBlock();
  return endOfStream(again);
}

// Checks the end marker of the S-Block just dispatched; false when the record cannot go on.
bool SoftDecoder::finishSBlock() {
  uint64_t position = reader_->tell();
  if (position > sblockEnd_) {
    reportOverrun(position, sblockEnd_);
    return false;
  }
  lastEnd_ = sblockEnd_;
  sblockEnd_ = 0;
  // The reader refuses a seek to its very end: a block whose data reaches the record's end
  // has nothing after it, and reading on from where its observer left off would find stale bytes.
  bool placed = lastEnd_ < recordLimit() && reader_->seek(lastEnd_) == 0;
  uint8_t end[markerSize] = {};
  if (!placed || !readExact(end, markerSize) || !isMarker(end, endMarkerWord))
    current_logger().log(damageLevel, "Missed SOFT end @0x%llX (expected at 0x%llX/0x%llx)",
                         ull(position), ull(lastEnd_), ull(chunkEnd_));
  if (!placed) mode_ = 0;
  return placed;
}

void SoftDecoder::reportOverrun(uint64_t position, uint64_t blockEnd) const {
  current_logger().log(damageLevel, "SOFT chunk overrun @0x%llX (expected at 0x%llX/0x%llx)",
                       ull(position), ull(blockEnd), ull(chunkEnd_));
}

uint64_t SoftDecoder::dispatchSBlock() {
  uint64_t start = reader_->tell() - markerSize;
  uint8_t first[sblockFirstPart], second[sblockSecondPart];
  if (!readExact(first, sblockFirstPart) || !readExact(second, sblockSecondPart)) {
    current_logger().log(damageLevel, "EOF?");
    mode_ = 0;
    return 0;
  }
  uint32_t blockSize = u32At(first, sblockSizeAt);
  uint64_t dataStart = reader_->tell();
  // A size below the header's would move backwards; data past the record cannot be walked.
  if (blockSize < sblockHeaderBias || dataStart + (blockSize - sblockHeaderBias) > recordLimit()) {
    current_logger().log(damageLevel, "S-Block size %u out of range @0x%llX (end 0x%llx)",
                         blockSize, ull(start), ull(recordLimit()));
    mode_ = 0;
    return 0;
  }
  sblockEnd_ = dataStart + (blockSize - sblockHeaderBias);

  BlockInfo info{};
  std::memcpy(info.name, second + sblockNameAt, 16);
  if (info.name[0] == '\0')
    current_logger().log(noticeLevel, "S-Block: unnamed?");
  else
    current_logger().log(detailLevel, "S-Block: %c%c%c%c...", info.name[0], info.name[1],
                         info.name[2], info.name[3]);
  info.sourceId = chunkSourceId_;
  info.sourceTag = chunkSourceTag_;
  info.size = blockSize - sblockHeaderBias;
  info.position = dataStart;
  info.isSBlock = 1;
  // The parts were read back to back, so block offset n lies at second[n - 24].
  uint8_t block[rawMinimum] = {};
  std::memcpy(block + markerSize, first, sblockFirstPart);
  std::memcpy(block + markerSize + sblockFirstPart, second, rawMinimum - 24);
  fillWords(info, block);

  callBlockCallback(info.name);
  for (auto& entry : blockObservers_) {
    if (entry.callback == nullptr) break;
    if (std::strncmp(entry.name.c_str(), info.name, 16) != 0) continue;
    current_logger().log(debugLevel, "OBS: %s %llx", entry.name.c_str(), ull(info.position));
    entry.callback(entry.contextForCall(), info);
    break;
  }
  return nameKey(info.name);
}

uint64_t SoftDecoder::endOfStream(bool& again) {
  if (mode_ != 2) mode_ = 0;
  uint64_t p = reader_->tell() - markerSize;
  again = true;
  if (p == chunkEnd_) return 0;
  unsigned long long distance = chunkEnd_ - p;
  if (p < chunkEnd_)
    current_logger().log(
        debugLevel, "SOFT start marker @0x%llX (expected at 0x%llX/0x%llx): extra trailing=%llx)",
        ull(p), ull(lastEnd_), ull(chunkEnd_), distance);
  else
    current_logger().log(damageLevel,
                         "Missed SOFT start marker @0x%llX (expected at 0x%llX/0x%llx, "
                         "extra bytes=%llx)",
                         ull(p), ull(lastEnd_), ull(chunkEnd_), distance);
  return 0;
}

void SoftDecoder::callBlockCallback(const char* name) {
  if (blockCallback_) blockCallback_(blockCallbackValue_, name);
}

template <class Callback>
bool SoftDecoder::registerIn(ObserverTable<Callback>& table, const char* name, Callback callback,
                             void* context, size_t contextLength) {
  if (callback == nullptr) return false;
  for (auto& entry : table) {
    if (entry.callback != nullptr) continue;
    entry.name = name ? name : "";
    entry.callback = callback;
    entry.context = context;
    size_t copied = context ? std::min(contextLength, inlineContextSize) : 0;
    entry.useInline = copied > 0;
    std::memset(entry.inlineContext, 0, inlineContextSize);
    if (copied) std::memcpy(entry.inlineContext, context, copied);
    return true;
  }
  return false;
}

bool SoftDecoder::registerBlockObserver(const char* name, BlockObserver callback, void* context,
                                        size_t contextLength) {
  return registerIn(blockObservers_, name, callback, context, contextLength);
}

bool SoftDecoder::registerXinfoObserver(const char* name, XinfoObserver callback, void* context,
                                        size_t contextLength) {
  return registerIn(xinfoObservers_, name, callback, context, contextLength);
}

void SoftDecoder::setBlockCallback(BlockCallback callback, uint32_t value) {
  blockCallback_ = std::move(callback);
  blockCallbackValue_ = value;
}

bool SoftDecoder::readAt(void* destination, uint64_t position, uint32_t payloadSize,
                         uint32_t length) {
  uint32_t count = length ? length : payloadSize;
  bool placed = position == 0 || reader_->seek(position) == 0;
  if (destination == nullptr) {
    if (placed) reader_->skip(count);
    return true;
  }
  if (!placed) return count == 0;
  return readExact(destination, count);
}

bool SoftDecoder::readBlock(void* destination, const BlockInfo& info, uint32_t length) {
  return readAt(destination, info.position, info.size, length);
}

bool SoftDecoder::readBlock(void* destination, const XinfoRecord& record, uint32_t length) {
  return readAt(destination, record.position, record.size, length);
}

bool SoftDecoder::readBlock(std::span<uint8_t> destination, const BlockInfo& info,
                            uint32_t length) {
  if ((length ? length : info.size) > destination.size()) return false;
  return readAt(destination.data(), info.position, info.size, length);
}

bool SoftDecoder::readBlock(std::span<uint8_t> destination, const XinfoRecord& record,
                            uint32_t length) {
  if ((length ? length : record.size) > destination.size()) return false;
  return readAt(destination.data(), record.position, record.size, length);
}

const uint8_t* SoftDecoder::blockPointer(const BlockInfo& info) {
  // A reader without direct access answers null itself.
  if (info.position + info.size > recordLimit()) return nullptr;
  return reader_->pointerAt(info.position);
}

void SoftDecoder::blockInfoFromRaw(BlockInfo* destination, const uint8_t* raw) {
  BlockInfo info{};
  info.isSBlock = 1;
  fillWords(info, std::span<const uint8_t, rawMinimum>(raw, rawMinimum));
  *destination = info;
}

bool SoftDecoder::blockInfoFromRaw(BlockInfo* destination, std::span<const uint8_t> raw) {
  if (raw.size() < rawMinimum) return false;
  blockInfoFromRaw(destination, raw.data());
  return true;
}

bool SoftDecoder::readExtendedBlock(std::span<uint8_t> destination, const BlockInfo& info) {
  if (destination.size() < extendedFirstRead || reader_->seek(info.position) != 0 ||
      !readExact(destination.data(), extendedFirstRead)) {
    current_logger().log(damageLevel, "hdr read failed @0x%llX", ull(info.position));
    return false;
  }
  uint32_t headerLength = u32At(destination, extendedLengthAt);
  current_logger().log(detailLevel, "hdr read: %u of %u (%u)", headerLength, info.size,
                       info.size - headerLength);
  uint64_t headerBytes = uint64_t(headerLength) + extendedHeaderExtra;
  if (headerLength < extendedLengthMinimum || headerBytes > info.size ||
      headerBytes > destination.size()) {
    current_logger().log(damageLevel, "hdr length %u out of range (block %u, buffer %zu)",
                         headerLength, info.size, destination.size());
    return false;
  }
  if (!readExact(destination.data() + extendedFirstRead, headerLength - extendedLengthMinimum)) {
    current_logger().log(damageLevel, "hdr read failed @0x%llX", ull(info.position));
    return false;
  }
  walkExtensions(info, headerLength);
  return true;
}

// Walks the "EXT " records after the header; nothing is read outside the block.
void SoftDecoder::walkExtensions(const BlockInfo& info, uint32_t headerLength) {
  const uint64_t blockEnd = info.position + info.size;
  const uint64_t budget = info.size - headerLength;
  uint64_t next = info.position + headerLength + extendedHeaderExtra;
  uint64_t walked = 0;
  while (walked < budget) {
    uint8_t header[extensionHeaderSize] = {};
    if (next + extensionHeaderSize > blockEnd || reader_->seek(next) != 0 ||
        !readExact(header, extensionHeaderSize) || std::memcmp(header, "EXT ", 4) != 0) {
      reader_->seek(blockEnd);
      return;
    }
    uint32_t length = u32At(header, 12);
    current_logger().log(detailLevel, "  XINFO: 0x%4.4X %u %u", u32At(header, 4), length,
                         uint32_t(walked));
    uint64_t payload = next + extensionHeaderSize;
    if (payload + length > blockEnd) {
      current_logger().log(damageLevel, "XINFO length %u beyond block @0x%llX (end 0x%llx)",
                           length, ull(payload), ull(blockEnd));
      reader_->seek(blockEnd);
      return;
    }
    XinfoRecord record{};
    std::memcpy(record.name, header, 8);
    record.size = length;
    record.position = payload;
    for (auto& entry : xinfoObservers_) {
      if (entry.callback == nullptr) break;
      if (std::strncmp(entry.name.c_str(), record.name, 8) != 0) continue;
      current_logger().log(debugLevel, "OBS: %s %llx", entry.name.c_str(), ull(payload));
      entry.callback(entry.contextForCall(), record);
      break;
    }
    callBlockCallback(record.name);
    next = payload + length;
    walked += uint64_t(length) + extensionHeaderSize;
    reader_->seek(next);
  }
}
