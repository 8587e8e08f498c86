// info, list and check: walks over the record headers.
#include <cinttypes>
#include <map>

#include "commands.h"

namespace records {
namespace {

struct FlowTotals {
  std::string name;
  std::uint8_t source = 0;
  std::uint64_t records = 0, dataBytes = 0;
  std::uint32_t smallest = 0, largest = 0;
};

struct FileSummary {
  std::vector<FlowTotals> flows;  // in the order of their first record
  std::uint64_t records = 0, dataBytes = 0, endFieldMismatches = 0;
  std::uint64_t firstMismatch = 0;
  Stop stop;
};

FileSummary summarise(RecordFile& file) {
  FileSummary summary;
  std::map<std::pair<std::string, std::uint8_t>, std::size_t> slots;
  summary.stop = file.walk(0, [&](const Record& record) {
    auto [slot, added] = slots.try_emplace({record.name, record.source}, summary.flows.size());
    if (added) summary.flows.push_back({record.name, record.source, 0, 0, record.length, record.length});
    FlowTotals& flow = summary.flows[slot->second];
    ++flow.records;
    flow.dataBytes += record.length;
    flow.smallest = std::min(flow.smallest, record.length);
    flow.largest = std::max(flow.largest, record.length);
    ++summary.records;
    summary.dataBytes += record.length;
    if (!record.endFieldMatches && summary.endFieldMismatches++ == 0)
      summary.firstMismatch = record.offset;
    return true;
  });
  return summary;
}

std::string sourceText(std::uint8_t source) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X %s", source, sourceName(source));
  return text;
}

std::string printable(const std::string& name) {
  std::string text = name;
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  return text;
}

void printStop(const std::string& path, const Stop& stop, std::FILE* out) {
  std::fprintf(out, "%s: stops at offset %" PRIu64 " (0x%" PRIX64 "): %s\n", path.c_str(),
               stop.offset, stop.offset, stop.reason.c_str());
}

void printInfoText(const std::string& path, std::uint64_t size, const FileSummary& s) {
  std::printf("%s: %" PRIu64 " bytes, %" PRIu64 " records, %" PRIu64 " data bytes\n", path.c_str(),
              size, s.records, s.dataBytes);
  std::printf("  %-8s  %-8s  %10s  %14s  %10s  %10s\n", "flow", "source", "records", "data bytes",
              "smallest", "largest");
  for (const FlowTotals& f : s.flows)
    std::printf("  %-8s  %-8s  %10" PRIu64 "  %14" PRIu64 "  %10u  %10u\n",
                printable(f.name).c_str(), sourceText(f.source).c_str(), f.records, f.dataBytes,
                f.smallest, f.largest);
  std::printf("  %-8s  %-8s  %10" PRIu64 "  %14" PRIu64 "\n", "total", "", s.records, s.dataBytes);
  if (s.endFieldMismatches)
    std::printf("  %" PRIu64 " record headers have an end field that does not agree with their "
                "position, the first at offset %" PRIu64 "\n",
                s.endFieldMismatches, s.firstMismatch);
  if (s.stop.kind == StopKind::end) {
    std::printf("  walks to its end\n");
  } else {
    std::printf("  stops at offset %" PRIu64 " (0x%" PRIX64 "), %" PRIu64 " bytes before the end: %s\n",
                s.stop.offset, s.stop.offset, size - s.stop.offset, s.stop.reason.c_str());
  }
}

void printInfoJson(const std::string& path, std::uint64_t size, const FileSummary& s) {
  std::printf("{\"file\":%s,\"size\":%" PRIu64 ",\"records\":%" PRIu64 ",\"data_bytes\":%" PRIu64
              ",\"flows\":[",
              jsonString(path).c_str(), size, s.records, s.dataBytes);
  for (std::size_t i = 0; i < s.flows.size(); ++i) {
    const FlowTotals& f = s.flows[i];
    std::printf("%s{\"name\":%s,\"source\":%u,\"records\":%" PRIu64 ",\"data_bytes\":%" PRIu64
                ",\"smallest\":%u,\"largest\":%u}",
                i ? "," : "", jsonString(f.name).c_str(), f.source, f.records, f.dataBytes,
                f.smallest, f.largest);
  }
  std::printf("],\"end_field_mismatches\":%" PRIu64 ",\"walks_to_end\":%s,\"stop\":",
              s.endFieldMismatches, s.stop.kind == StopKind::end ? "true" : "false");
  if (s.stop.kind == StopKind::end)
    std::printf("null}\n");
  else
    std::printf("{\"offset\":%" PRIu64 ",\"kind\":\"%s\",\"reason\":%s}}\n", s.stop.offset,
                stopKindName(s.stop.kind), jsonString(s.stop.reason).c_str());
}

}  // namespace

bool selected(const Arguments& arguments, const Record& record) {
  if (arguments.source && *arguments.source != record.source) return false;
  if (arguments.flows.empty()) return true;
  for (const std::string& flow : arguments.flows)
    if (flow == record.name) return true;
  return false;
}

std::string jsonString(const std::string& value) {
  std::string text = "\"";
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (byte < 0x20 || byte > 0x7E) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      text += escape;
    } else {
      text += c;
    }
  }
  return text + "\"";
}

const char* stopKindName(StopKind kind) {
  switch (kind) {
    case StopKind::end: return "end";
    case StopKind::bareRecord: return "bare_record";
    case StopKind::cutHeader: return "cut_header";
    case StopKind::cutRecord: return "cut_record";
    case StopKind::damage: return "damage";
    case StopKind::readError: return "read_error";
  }
  return "";
}

void complain(const std::string& text) { std::fprintf(stderr, "tarsel-records: %s\n", text.c_str()); }

// Walks each named file and hands its summary on; a file that does not open is reported and
// makes the status 1. Returns 1 when a file failed to open or the handler said so.
template <typename Handler>
int forEachSummary(const Arguments& arguments, Handler handle) {
  int status = 0;
  for (const std::string& path : arguments.files) {
    RecordFile file;
    std::string error;
    if (!file.open(path, error)) {
      complain(error);
      status = 1;
      continue;
    }
    if (!handle(path, file, summarise(file))) status = 1;
  }
  return status;
}

int runInfo(const Arguments& arguments) {
  return forEachSummary(arguments, [&](const std::string& path, const RecordFile& file,
                                       const FileSummary& summary) {
    if (arguments.json)
      printInfoJson(path, file.size(), summary);
    else
      printInfoText(path, file.size(), summary);
    return true;
  });
}

int runList(const Arguments& arguments) {
  RecordFile file;
  std::string error;
  if (!file.open(arguments.files.front(), error)) {
    complain(error);
    return 1;
  }
  if (arguments.csv)
    std::printf("index,offset,name,source,tag,length\n");
  else if (!arguments.json)
    std::printf("%8s  %12s  %-8s  %-8s  %4s  %10s\n", "index", "offset", "name", "source", "tag",
                "length");
  const Stop stop = file.walk(0, [&](const Record& r) {
    if (!selected(arguments, r)) return true;
    if (arguments.json)
      std::printf("{\"index\":%" PRIu64 ",\"offset\":%" PRIu64 ",\"name\":%s,\"source\":%u,"
                  "\"tag\":%u,\"length\":%u}\n",
                  r.index, r.offset, jsonString(r.name).c_str(), r.source, r.tag, r.length);
    else if (arguments.csv)
      std::printf("%" PRIu64 ",%" PRIu64 ",%s,%u,%u,%u\n", r.index, r.offset,
                  printable(r.name).c_str(), r.source, r.tag, r.length);
    else
      std::printf("%8" PRIu64 "  %12" PRIu64 "  %-8s  %-8s  0x%02X  %10u\n", r.index, r.offset,
                  printable(r.name).c_str(), sourceText(r.source).c_str(), r.tag, r.length);
    return true;
  });
  if (stop.kind != StopKind::end) printStop(arguments.files.front(), stop, stderr);
  return 0;
}

int runCheck(const Arguments& arguments) {
  return forEachSummary(arguments, [](const std::string& path, const RecordFile&,
                                      const FileSummary& summary) {
    if (summary.stop.kind != StopKind::end) {
      printStop(path, summary.stop, stdout);
      return false;
    }
    if (summary.endFieldMismatches) {
      std::printf("%s: offset %" PRIu64 " (0x%" PRIX64 "): the record header's end field does not "
                  "agree with its position (%" PRIu64 " such records)\n",
                  path.c_str(), summary.firstMismatch, summary.firstMismatch,
                  summary.endFieldMismatches);
      return false;
    }
    std::printf("%s: ok: %" PRIu64 " whole records, walks to its end\n", path.c_str(),
                summary.records);
    return true;
  });
}

}  // namespace records
