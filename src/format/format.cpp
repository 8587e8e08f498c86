#include "format/format.h"

#include <algorithm>

namespace format {

namespace {

constexpr size_t nameAt = 8, endAt = 16, lengthAt = 20, sourceIdAt = 24, sourceTagAt = 25;

}  // namespace

RecordHeader RecordHeader::forRecord(std::string_view name, uint64_t start, uint32_t length,
                                     uint8_t sourceId, uint8_t sourceTag) {
  RecordHeader header;
  header.marker.fill(markerByte);
  // Up to 8 characters, and none after a NUL: the name is copied as a C string.
  name = name.substr(0, std::min(name.find('\0'), header.name.size()));
  std::copy(name.begin(), name.end(), header.name.begin());
  // The end field is 32-bit: a start past 4 GiB wraps.
  header.end = static_cast<uint32_t>(start) + length + 4;
  header.length = length;
  header.sourceId = sourceId;
  header.sourceTag = sourceTag;
  return header;
}

RecordHeader RecordHeader::parse(std::span<const uint8_t> bytes) {
  RecordHeader header;
  auto byteAt = [&](size_t at) { return at < bytes.size() ? bytes[at] : uint8_t{0}; };
  for (size_t i = 0; i < markerSize; ++i) header.marker[i] = byteAt(i);
  for (size_t i = 0; i < header.name.size(); ++i)
    header.name[i] = static_cast<char>(byteAt(nameAt + i));
  header.end = u32At(bytes, endAt);
  header.length = u32At(bytes, lengthAt);
  header.sourceId = byteAt(sourceIdAt);
  header.sourceTag = byteAt(sourceTagAt);
  return header;
}

bool RecordHeader::hasMarker() const {
  return std::all_of(marker.begin(), marker.end(), [](uint8_t b) { return b == markerByte; });
}

std::string_view RecordHeader::nameText() const {
  std::string_view text(name.data(), name.size());
  return text.substr(0, text.find('\0'));
}

void RecordHeader::write(std::span<uint8_t, size> out) const {
  std::fill(out.begin(), out.end(), uint8_t{0});
  std::copy(marker.begin(), marker.end(), out.begin());
  std::copy(name.begin(), name.end(), out.begin() + nameAt);
  putU32At(out, endAt, end);
  putU32At(out, lengthAt, length);
  out[sourceIdAt] = sourceId;
  out[sourceTagAt] = sourceTag;
}

}  // namespace format
