// tarsel-records: reads the destination files that tarsel writes, a sequence of records each
// made of a 32-byte record header and the flow's data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace records {

constexpr std::size_t headerSize = 32;
constexpr std::uint8_t recordMarkerByte = 0x7A;  ///< eight of them open a record header
constexpr std::uint8_t sblockMarkerByte = 0x5A;  ///< eight of them open an S-Block

/// One whole record as its header describes it.
struct Record {
  std::uint64_t index = 0;   ///< 0 for the first record of the file
  std::uint64_t offset = 0;  ///< position of the record header in the file
  std::string name;          ///< up to 8 characters, NUL padding removed
  std::uint8_t source = 0;   ///< source id
  std::uint8_t tag = 0;      ///< source tag
  std::uint32_t length = 0;  ///< data bytes after the header
  bool endFieldMatches = true;  ///< the 32-bit end field agrees with offset and length
  std::uint64_t dataOffset() const { return offset + headerSize; }
};

/// Why a walk over the records ended.
enum class StopKind { end, bareRecord, cutHeader, cutRecord, damage, readError };

struct Stop {
  StopKind kind = StopKind::end;
  std::uint64_t offset = 0;  ///< where the walk stopped (the file size at a clean end)
  std::string reason;        ///< empty at a clean end
};

/// Decodes the record header in `bytes` (at least headerSize bytes) found at `offset`; answers
/// false when the first eight bytes are not the record marker. Fills everything but `index`.
bool decodeHeader(const std::uint8_t* bytes, std::uint64_t offset, Record& record);

/// Fills the 32-byte header for a record of `length` bytes at `offset` (the end field wraps at
/// 4 GiB as the converter writes it).
void encodeHeader(std::uint8_t* bytes, const std::string& name, std::uint8_t source,
                  std::uint8_t tag, std::uint32_t length, std::uint64_t offset);

/// A destination file opened for reading. Headers are read through a window of large reads;
/// the data between them is skipped, so a walk costs little more than the headers.
class RecordFile {
 public:
  /// Opens the file; answers false with `error` set when it cannot be read.
  bool open(const std::string& path, std::string& error);
  std::uint64_t size() const { return size_; }

  /// Walks the records from `from` (a record start) and calls `visit` for every whole record,
  /// numbering them from `firstIndex`; `visit` answers false to end the walk early (the answer
  /// is then a clean end at that record). Answers where and why the walk ended.
  Stop walk(std::uint64_t from, const std::function<bool(const Record&)>& visit,
            std::uint64_t firstIndex = 0);

  /// Answers the first position after `from` where a plausible record header starts, or the
  /// file size when there is none.
  std::uint64_t findNextRecord(std::uint64_t from);

  /// Copies `length` bytes at `offset` to `out`; answers false on a read or write error.
  bool copyTo(std::uint64_t offset, std::uint64_t length, std::FILE* out);

  /// Reads `length` bytes at `offset` into `destination`; answers false when they are not there.
  bool read(std::uint64_t offset, void* destination, std::size_t length);

 private:
  /// Answers `length` bytes at `offset` through the window (null past the end of the file);
  /// valid until the next call.
  const std::uint8_t* bytesAt(std::uint64_t offset, std::size_t length);
  /// Checks a header at `offset` and what follows it; answers how the walk goes on.
  Stop judge(std::uint64_t offset, Record& record);
  bool followsARecord(std::uint64_t offset);

  std::ifstream in_;
  std::uint64_t size_ = 0;
  std::vector<std::uint8_t> window_;
  std::uint64_t windowStart_ = 0;
  std::size_t windowLength_ = 0;
  std::uint64_t meanSpacing_ = 0;  ///< running mean of the record sizes walked over
};

/// Known source ids by name: "EIF" 0x53, "DSP" 0x33, "DFE" 0x56; empty for others.
const char* sourceName(std::uint8_t source);

/// The tarsel-records program: answers its exit status (0, 1 as the command says, 2 for a
/// command line it does not understand).
int recordsMain(int argc, char** argv);

}  // namespace records
