// extract: the data of one flow's records, raw or as a NumPy .npy array.
#include <cinttypes>
#include <cstring>

#include "platform/platform.h"
#include "commands.h"

namespace records {
namespace {

struct Dtype {
  const char* name;
  const char* descr;  // NumPy's text for the little-endian type
  std::uint32_t size;
};
constexpr Dtype dtypes[] = {{"u1", "|u1", 1}, {"i2", "<i2", 2}, {"u2", "<u2", 2},
                            {"i4", "<i4", 4}, {"u4", "<u4", 4}, {"f4", "<f4", 4}};

const Dtype* findDtype(const std::string& name) {
  for (const Dtype& d : dtypes)
    if (name == d.name) return &d;
  return nullptr;
}

/// The .npy version 1.0 preamble for a C-ordered array of `rows` x `columns`; the header is
/// padded with spaces so that the data starts at a multiple of 64 bytes.
std::string npyHeader(const Dtype& dtype, std::uint64_t rows, std::uint64_t columns) {
  char dict[200];
  std::snprintf(dict, sizeof dict,
                "{'descr': '%s', 'fortran_order': False, 'shape': (%" PRIu64 ", %" PRIu64 "), }",
                dtype.descr, rows, columns);
  std::string header = dict;
  const std::size_t preamble = 10;
  header.append(63 - (preamble + header.size()) % 64, ' ');
  header += '\n';
  std::string out("\x93NUMPY\x01\x00", 8);
  out += char(header.size() & 0xFF);
  out += char(header.size() >> 8);
  return out + header;
}

class Output {
 public:
  bool open(const std::string& path) {
    file_ = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
    return file_ != nullptr;
  }
  ~Output() {
    if (file_ && file_ != stdout) std::fclose(file_);
  }
  bool close() {
    bool ok = std::fflush(file_) == 0;
    if (file_ != stdout) ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
  }
  std::FILE* get() const { return file_; }

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace

int runExtract(const Arguments& arguments) {
  const std::string& path = arguments.files.front();
  const std::string& flow = arguments.flows.front();
  const Dtype* dtype = findDtype(arguments.dtype);
  if (arguments.out != "-" && platform::sameFile(path.c_str(), arguments.out.c_str())) {
    complain("extract: the output " + arguments.out + " is the input file");
    return 2;
  }
  RecordFile file;
  std::string error;
  if (!file.open(path, error)) {
    complain(error);
    return 1;
  }
  // First pass over the headers: how many records, and (for .npy) whether they fit one shape.
  std::uint64_t count = 0;
  Record first;
  std::string mismatch;
  file.walk(0, [&](const Record& record) {
    if (!selected(arguments, record)) return true;
    if (count++ == 0) first = record;
    if (arguments.npy && record.length != first.length) {
      char text[300];
      std::snprintf(text, sizeof text,
                    "extract: records of %s have unequal lengths (%u bytes at offset %" PRIu64
                    ", %u bytes at offset %" PRIu64 "); a .npy array needs records of one length",
                    flow.c_str(), first.length, first.offset, record.length, record.offset);
      mismatch = text;
      return false;
    }
    return true;
  });
  if (!mismatch.empty()) {
    complain(mismatch);
    return 1;
  }
  if (count == 0) {
    complain("extract: no records of flow " + flow + " in " + path);
    return 1;
  }
  if (arguments.npy && first.length % dtype->size != 0) {
    complain("extract: records of " + flow + " have " + std::to_string(first.length) +
             " bytes, not a whole number of " + dtype->name + " values");
    return 1;
  }
  if (arguments.out == "-" && platform::isTerminal(stdout)) {
    complain("extract: standard output is a terminal; give -o FILE, or redirect it");
    return 2;
  }
  Output out;
  if (!out.open(arguments.out)) {
    complain("extract: cannot write " + arguments.out + ": " + std::strerror(errno));
    return 1;
  }
  bool written = true;
  if (arguments.npy) {
    const std::string header = npyHeader(*dtype, count, first.length / dtype->size);
    written = std::fwrite(header.data(), 1, header.size(), out.get()) == header.size();
  }
  const Stop stop = file.walk(0, [&](const Record& record) {
    if (!selected(arguments, record)) return true;
    written = written && file.copyTo(record.dataOffset(), record.length, out.get());
    return written;
  });
  if (!out.close() || !written) {
    complain("extract: write error on " + arguments.out);
    return 1;
  }
  if (stop.kind != StopKind::end)
    complain(path + ": the records stop at offset " + std::to_string(stop.offset) + ": " +
             stop.reason + "; extracted what came before");
  return 0;
}

int runRecover(const Arguments& arguments) {
  const std::string& in = arguments.files[0];
  const std::string& outPath = arguments.files[1];
  if (platform::sameFile(in.c_str(), outPath.c_str())) {
    complain("recover: " + outPath + " is the input file; recover never writes over its input");
    return 2;
  }
  RecordFile file;
  std::string error;
  if (!file.open(in, error)) {
    complain(error);
    return 1;
  }
  Output out;
  if (!out.open(outPath)) {
    complain("recover: cannot write " + outPath + ": " + std::strerror(errno));
    return 1;
  }
  std::uint64_t kept = 0, keptBytes = 0, dropped = 0, places = 0, position = 0;
  bool written = true;
  while (written) {
    const Stop stop = file.walk(position, [&](const Record& record) {
      // The copy gets end fields for its own positions.
      std::uint8_t header[headerSize];
      encodeHeader(header, record.name, record.source, record.tag, record.length, keptBytes);
      file.read(record.offset + 26, header + 26, headerSize - 26);
      written = std::fwrite(header, 1, headerSize, out.get()) == headerSize &&
                file.copyTo(record.dataOffset(), record.length, out.get());
      ++kept;
      keptBytes += headerSize + record.length;
      return written;
    });
    if (stop.kind == StopKind::end || !written) break;
    position = file.findNextRecord(stop.offset);
    std::printf("dropped %" PRIu64 " bytes at offset %" PRIu64 " (0x%" PRIX64 "): %s\n",
                position - stop.offset, stop.offset, stop.offset, stop.reason.c_str());
    dropped += position - stop.offset;
    ++places;
    if (position >= file.size()) break;
  }
  if (!out.close() || !written) {
    complain("recover: write error on " + outPath);
    return 1;
  }
  std::printf("%s: kept %" PRIu64 " records (%" PRIu64 " bytes) in %s; ", in.c_str(), kept,
              keptBytes, outPath.c_str());
  if (places)
    std::printf("dropped %" PRIu64 " bytes in %" PRIu64 " place%s\n", dropped, places,
                places == 1 ? "" : "s");
  else
    std::printf("nothing dropped\n");
  return 0;
}

}  // namespace records
