// Loading the layout text into the flow table.
#include <cstdio>
#include <cstring>
#include <vector>

#include "commandline/messages.h"
#include "json.h"
#include "layout/layout.h"

namespace {

constexpr std::size_t layoutNodeCount = 2048;  // the root and at most 2047 values
constexpr uint32_t defaultFlowSize = 0x200000;
constexpr const char* defaultFormat = "c16";

struct LayoutSettings {
  uint32_t pingpong = 0;
  uint32_t base = 0;
  uint32_t maxSize = defaultFlowSize;
};

// The values of one element of "flows", as texts; null where a key is absent.
struct FlowEntry {
  const char* name = nullptr;
  const char* base = nullptr;
  const char* size = nullptr;
  const char* pingpong = nullptr;
  const char* format = nullptr;
  const char* rowsAt = nullptr;
  const char* colsAt = nullptr;
  const char* batchAt = nullptr;
  const char* tagAt = nullptr;
  const char* timestampAt = nullptr;

  bool isHeader() const { return format && std::strcmp(format, "H") == 0; }
  bool isSoftware() const { return format && std::strcmp(format, "SW") == 0; }
};

// Only quoted texts count for the layout-wide settings; an unquoted number is ignored.
const char* settingText(const JsonNode& root, const char* key) {
  const JsonNode* member = findMember(&root, key);
  return member && member->kind == JsonKind::Text ? member->value.text : nullptr;
}

LayoutSettings readSettings(const JsonNode& root) {
  LayoutSettings settings;
  if (const char* text = settingText(root, "pingpong")) settings.pingpong = toUnsigned32(text).value;
  msg::detail2("Cfg: pingpong=0x%X", settings.pingpong);
  if (const char* text = settingText(root, "base")) settings.base = toUnsigned32(text).value;
  if (const char* text = settingText(root, "max_size")) {
    ConvertedNumber maxSize = toUnsigned32(text);
    if (!maxSize.overflow) settings.maxSize = maxSize.value;
  }
  msg::detail2("Cfg: mbase=0x%X", settings.base);
  return settings;
}

FlowEntry readEntry(const JsonNode& node) {
  FlowEntry entry;
  entry.name = memberText(&node, "name");
  entry.base = memberText(&node, "base");
  entry.size = memberText(&node, "size");
  entry.pingpong = memberText(&node, "pingpong");
  entry.format = memberText(&node, "format");
  entry.rowsAt = memberText(&node, "rows@");
  entry.colsAt = memberText(&node, "cols@");
  entry.batchAt = memberText(&node, "batch@");
  entry.tagAt = memberText(&node, "tag@");
  entry.timestampAt = memberText(&node, "timestamp@");
  return entry;
}

// The first key the table cannot do without that the entry lacks, or null.
const char* missingKey(const FlowEntry& entry) {
  if (!entry.name) return "name";
  if (!entry.base) return "base";
  if (!entry.isHeader()) return nullptr;
  if (!entry.rowsAt) return "rows@";
  if (!entry.colsAt) return "cols@";
  if (!entry.batchAt) return "batch@";
  if (!entry.tagAt) return "tag@";
  return nullptr;
}

// A base beginning with "+" is relative to the layout base.
uint32_t flowBase(const char* text, uint32_t layoutBase) {
  uint32_t base = toUnsigned32(text).value;
  return text[0] == '+' ? layoutBase + base : base;
}

// Only the character right after the number counts as a unit: '16Kb' is 16 KiB.
uint32_t flowSize(const char* text, uint32_t maxSize) {
  if (!text) return maxSize;
  ConvertedNumber size = toUnsigned32(text);
  switch (*size.end) {
    case 'K':
    case 'k':
      return size.value * 1024u;
    case 'M':
    case 'm':
      return size.value * 1048576u;
    default:
      return size.value;
  }
}

HeaderOffsets headerOffsets(const FlowEntry& entry) {
  HeaderOffsets offsets;
  offsets.rowsAt = toSigned32(entry.rowsAt).value;
  offsets.colsAt = toSigned32(entry.colsAt).value;
  offsets.batchAt = toSigned32(entry.batchAt).value;
  offsets.tagAt = toSigned32(entry.tagAt).value;
  if (!entry.timestampAt)
    offsets.timestampAt = offsets.batchAt + 64;
  else if (entry.timestampAt[0] == '+')
    offsets.timestampAt = offsets.batchAt + toSigned32(entry.timestampAt).value;
  else
    offsets.timestampAt = toSigned32(entry.timestampAt).value;
  return offsets;
}

void configureHeaderFlow(Flow& flow, const FlowEntry& entry, const LayoutTargets& targets) {
  flow.observer = targets.headerObserver ? targets.headerObserver : &flow.defaultObserver;
  HeaderOffsets offsets = headerOffsets(entry);
  if (targets.headerOffsets) *targets.headerOffsets = offsets;
  if (targets.softOffsets) *targets.softOffsets = offsets;
  msg::detail2("Flow: %s b=0x%X, f=%s, s=%u, b@=%u, r@=%u, c@=%u", flow.name, flow.base, entry.format,
               flow.size, offsets.batchAt, offsets.rowsAt, offsets.colsAt);
}

void configureOrdinaryFlow(Flow& flow, const FlowEntry& entry, const LayoutTargets& targets) {
  flow.firmware = entry.isSoftware() ? 0 : 1;
  if (flow.size == 0) flow.size = defaultFlowSize;
  flow.observer = targets.flowObserver ? targets.flowObserver : &flow.defaultObserver;
  msg::detail2("Flow: %s b=0x%X (+0x%X), f=%s, s=%u ", flow.name, flow.base, flow.pingpong,
               entry.format ? entry.format : defaultFormat, flow.size);
}

std::unique_ptr<Flow> makeFlow(const FlowEntry& entry, const LayoutSettings& settings,
                               const LayoutTargets& targets) {
  auto flow = std::make_unique<Flow>();
  flow->name = entry.name;
  flow->base = flowBase(entry.base, settings.base);
  flow->size = flowSize(entry.size, settings.maxSize);
  flow->pingpong = entry.pingpong ? toUnsigned32(entry.pingpong).value : settings.pingpong;
  if (entry.isHeader())
    configureHeaderFlow(*flow, entry, targets);  // a header flow keeps even a size of 0
  else
    configureOrdinaryFlow(*flow, entry, targets);
  flow->build();
  return flow;
}

// The error text lives here until the next rejection; the caller prints it at once.
const char* rejectEntry(std::size_t position, const char* key) {
  static char text[64];
  std::snprintf(text, sizeof text, "flow %zu: missing \"%s\"", position, key);
  return text;
}

// Reads every object of "flows"; other elements are skipped silently. An entry without the
// values the table needs rejects the whole layout before anything is built or bound.
const char* readEntries(const JsonNode& flows, std::vector<FlowEntry>& entries) {
  std::size_t position = 0;
  for (const JsonNode* node = flows.value.firstChild; node; node = node->next) {
    ++position;
    if (node->kind != JsonKind::Object) continue;
    FlowEntry entry = readEntry(*node);
    if (const char* key = missingKey(entry)) return rejectEntry(position, key);
    entries.push_back(entry);
  }
  return nullptr;
}

}  // namespace

const char* loadFlowTable(char* text, FlowTable& table, const LayoutTargets& targets) {
  // The nodes are needed during loading only; names and values stay in the text.
  std::vector<JsonNode> pool(layoutNodeCount);
  const JsonNode* root = parseLayoutJson(text, pool.data(), pool.size());
  if (root == nullptr) return "Parsing Error";
  LayoutSettings settings = readSettings(*root);
  const JsonNode* flows = findMember(root, "flows");
  if (flows == nullptr || flows->kind != JsonKind::Array) return "flows object not found";
  std::vector<FlowEntry> entries;
  if (const char* error = readEntries(*flows, entries)) return error;
  for (const FlowEntry& entry : entries) table.push_back(makeFlow(entry, settings, targets));
  return nullptr;
}
