#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "format/format.h"
#include "records/records.h"

namespace records {
namespace {

// Where records are large on average the reads are small (a header and a little after it) and
// the data between is skipped; runs of small records are read in large pieces.
constexpr std::size_t largeRead = 1u << 20;
constexpr std::size_t smallRead = 8u << 10;
constexpr std::uint64_t largeRecords = 4u << 10;

bool allBytes(const std::uint8_t* p, std::size_t n, std::uint8_t value) {
  return std::all_of(p, p + n, [value](std::uint8_t b) { return b == value; });
}

std::string format(const char* text, std::uint64_t a, std::uint64_t b = 0) {
  char line[200];
  std::snprintf(line, sizeof line, text, a, b);
  return line;
}

}  // namespace

bool decodeHeader(const std::uint8_t* bytes, std::uint64_t offset, Record& record) {
  auto header = ::format::RecordHeader::parse({bytes, ::format::RecordHeader::size});
  if (!header.hasMarker()) return false;
  record.name.assign(header.nameText());
  record.length = header.length;
  record.source = header.sourceId;
  record.tag = header.sourceTag;
  record.offset = offset;
  record.endFieldMatches =
      header.end == ::format::RecordHeader::forRecord("", offset, header.length, 0, 0).end;
  return true;
}

void encodeHeader(std::uint8_t* bytes, const std::string& name, std::uint8_t source,
                  std::uint8_t tag, std::uint32_t length, std::uint64_t offset) {
  ::format::RecordHeader::forRecord(name, offset, length, source, tag)
      .write(std::span<std::uint8_t, ::format::RecordHeader::size>(bytes,
                                                                  ::format::RecordHeader::size));
}

const char* sourceName(std::uint8_t source) {
  switch (source) {
    case 0x53: return "EIF";
    case 0x33: return "DSP";
    case 0x56: return "DFE";
    default: return "";
  }
}

bool RecordFile::open(const std::string& path, std::string& error) {
  in_.open(path, std::ios::binary);
  if (!in_) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  in_.seekg(0, std::ios::end);
  const std::streamoff end = in_.tellg();
  if (end < 0) {
    error = "cannot read " + path + " (not a regular file?)";
    return false;
  }
  size_ = static_cast<std::uint64_t>(end);
  windowStart_ = windowLength_ = 0;
  return true;
}

const std::uint8_t* RecordFile::bytesAt(std::uint64_t offset, std::size_t length) {
  if (offset > size_ || length > size_ - offset) return nullptr;
  if (offset >= windowStart_ && offset + length <= windowStart_ + windowLength_)
    return window_.data() + (offset - windowStart_);
  std::size_t want = std::max(length, meanSpacing_ >= largeRecords ? smallRead : largeRead);
  want = static_cast<std::size_t>(std::min<std::uint64_t>(want, size_ - offset));
  if (window_.size() < want) window_.resize(want);
  in_.clear();
  in_.seekg(static_cast<std::streamoff>(offset));
  in_.read(reinterpret_cast<char*>(window_.data()), static_cast<std::streamsize>(want));
  windowStart_ = offset;
  windowLength_ = static_cast<std::size_t>(in_.gcount());
  if (windowLength_ < length) return nullptr;
  return window_.data();
}

bool RecordFile::followsARecord(std::uint64_t offset) {
  if (offset == size_) return true;
  const std::uint8_t* p = bytesAt(offset, 8);
  return p && (allBytes(p, 8, recordMarkerByte) || allBytes(p, 8, sblockMarkerByte));
}

Stop RecordFile::judge(std::uint64_t offset, Record& record) {
  const std::uint64_t left = size_ - offset;
  const std::size_t available = static_cast<std::size_t>(std::min<std::uint64_t>(left, headerSize));
  const std::uint8_t* p = bytesAt(offset, available);
  if (!p) return {StopKind::readError, offset, "read error"};
  const std::size_t marker = std::min<std::size_t>(available, 8);
  if (marker == 8 && allBytes(p, 8, sblockMarkerByte))
    return {StopKind::bareRecord, offset,
            "bare record: S-Block data without a record header (written with /onlydsp)"};
  if (available < headerSize) {
    if (allBytes(p, marker, recordMarkerByte))
      return {StopKind::cutHeader, offset,
              format("cut record header: the file ends %" PRIu64 " bytes into a record header",
                     left)};
    return {StopKind::damage, offset, "damage: no record marker"};
  }
  if (!decodeHeader(p, offset, record)) return {StopKind::damage, offset, "damage: no record marker"};
  const std::uint64_t next = record.dataOffset() + record.length;
  if (record.endFieldMatches) {
    if (next > size_)
      return {StopKind::cutRecord, offset,
              "cut record: " + record.name +
                  format(" record of %" PRIu64 " bytes, the file ends %" PRIu64 " bytes into its data",
                         record.length, left - headerSize)};
    return {};
  }
  // A header whose length disagrees with its end field is believed only when a record (or the
  // end of the file) follows where the length says.
  if (next <= size_ && followsARecord(next)) return {};
  char line[160];
  std::snprintf(line, sizeof line,
                "damage: record header with length %u that does not agree with its end field",
                record.length);
  return {StopKind::damage, offset, line};
}

Stop RecordFile::walk(std::uint64_t from, const std::function<bool(const Record&)>& visit,
                      std::uint64_t firstIndex) {
  std::uint64_t offset = from;
  for (std::uint64_t index = firstIndex; offset < size_; ++index) {
    Record record;
    Stop stop = judge(offset, record);
    if (stop.kind != StopKind::end) return stop;
    record.index = index;
    if (!visit(record)) break;
    offset = record.dataOffset() + record.length;
    meanSpacing_ = (3 * meanSpacing_ + headerSize + record.length) / 4;
  }
  return {StopKind::end, std::min(offset, size_), {}};
}

std::uint64_t RecordFile::findNextRecord(std::uint64_t from) {
  std::uint64_t position = from + 1;
  while (position + 8 <= size_) {
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(largeRead, size_ - position));
    const std::uint8_t* p = bytesAt(position, length);
    if (!p) return size_;
    std::uint64_t candidate = size_;
    for (std::size_t i = 0; i + 8 <= length; ++i) {
      const void* hit = std::memchr(p + i, recordMarkerByte, length - 7 - i);
      if (!hit) break;
      i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
      if (allBytes(p + i, 8, recordMarkerByte)) {
        candidate = position + i;
        break;
      }
    }
    if (candidate == size_) {
      position += length - 7;
      continue;
    }
    Record record;
    if (judge(candidate, record).kind == StopKind::end) return candidate;
    position = candidate + 1;
  }
  return size_;
}

bool RecordFile::read(std::uint64_t offset, void* destination, std::size_t length) {
  auto* out = static_cast<std::uint8_t*>(destination);
  while (length > 0) {
    const std::size_t piece = std::min(length, largeRead);
    const std::uint8_t* p = bytesAt(offset, piece);
    if (!p) return false;
    std::memcpy(out, p, piece);
    out += piece;
    offset += piece;
    length -= piece;
  }
  return true;
}

bool RecordFile::copyTo(std::uint64_t offset, std::uint64_t length, std::FILE* out) {
  while (length > 0) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, largeRead));
    const std::uint8_t* p = bytesAt(offset, piece);
    if (!p || std::fwrite(p, 1, piece, out) != piece) return false;
    offset += piece;
    length -= piece;
  }
  return true;
}

}  // namespace records
