// Loading layouts into the flow table, and the built-in layout.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "json.h"
#include "layout/layout.h"
#include "support/test_support.h"

namespace {

// One load with its own text buffer, table, observers and offset targets.
struct Load {
  explicit Load(const std::string& layout) : buffer(layout.begin(), layout.end()) {
    buffer.push_back('\0');
    targets.headerObserver = &headerObserver;
    targets.flowObserver = &flowObserver;
    targets.headerOffsets = &header;
    targets.softOffsets = &soft;
  }
  const char* run() { return error = loadFlowTable(buffer.data(), table, targets); }
  const Flow& flow(const char* name) const {
    for (const auto& flow : table)
      if (std::strcmp(flow->name, name) == 0) return *flow;
    ADD_FAILURE() << "no flow " << name;
    return *table.front();
  }

  std::vector<char> buffer;
  FlowTable table;
  IFlowObserver headerObserver, flowObserver;
  HeaderOffsets header, soft;
  LayoutTargets targets;
  const char* error = nullptr;
};

// A layout with base 0x80000000 and the given flow entries.
std::string layoutWith(const std::string& flows, const std::string& settings = "'base': '0x80000000',") {
  return "{" + settings + " 'flows': [" + flows + "]}";
}

uint32_t sizeOf(const std::string& entry, const std::string& settings = "'base': '0x80000000',") {
  Load load(layoutWith(entry, settings));
  EXPECT_EQ(load.run(), nullptr);
  return load.table.empty() ? 0xDEADu : load.table[0]->size;
}

const char* const header = "'name': 'HDR', 'base': '0x100', 'size': '4K', 'format': 'H', ";

struct Resolved {
  const char* name;
  uint32_t base, size, pingpong;
  int32_t firmware;
  bool header;
};

const Resolved defaultTable[] = {
    {"SWHDR", 0xA0000000, 0x1000, 0x1000000, 1, false},      {"SWSUM", 0xA0010000, 0x200000, 0x1000000, 1, false},
    {"SWGUARD", 0xA0110000, 0x200000, 0x1000000, 1, false},  {"F-HDR", 0x80000000, 0x1000, 0x1000000, 1, false},
    {"F-GUARD", 0x80801000, 0x200000, 0x1000000, 1, false},  {"F-SUM", 0x80101000, 0x200000, 0x1000000, 1, false},
    {"F-DC1DAZ", 0x80001000, 0x200000, 0x1000000, 1, false}, {"F-DC1DEL", 0x80201000, 0x200000, 0x1000000, 1, false},
    {"F-DAZ", 0x80401000, 0x200000, 0x1000000, 1, false},    {"F-DEL", 0x80701000, 0x200000, 0x1000000, 1, false},
    {"SOFT", 0xF0000000, 0x400000, 0, 0, false},             {"SOFTDFE", 0xE0000000, 0x400000, 0, 0, false},
    {"VIDEO", 0xEF000000, 0x200000, 0, 1, false},            {"CTRLINK", 0x00000000, 0x4000, 0x10000, 1, false},
    {"EXTLINK", 0x10000000, 0x4000, 0x10000, 1, false},      {"AESA", 0xD0040000, 0x2000, 0x8000, 1, false},
    {"DET", 0x55000000, 0x4000, 0x4000, 1, false},           {"EXP", 0x58200000, 0x400, 0x400, 1, false},
    {"PC", 0x57000000, 0x2000, 0x20000, 1, false},           {"DISP", 0x56000000, 0x200, 0x200, 1, false},
    {"DISPHEADER", 0x56004000, 0x1000, 0x1000, 1, true},     {"TIMER", 0x44A10000, 0x2000, 0x2000, 1, false},
    {"UNKNOW1", 0x70000000, 0x2000, 0x1000, 1, false},
};

}  // namespace

TEST(DefaultLayout, ResolvesToTheBuiltInTable) {
  CapturedMessages messages;
  Load load(defaultLayoutText());
  ASSERT_EQ(load.run(), nullptr);
  ASSERT_EQ(load.table.size(), std::size(defaultTable));
  for (std::size_t i = 0; i < load.table.size(); ++i) {
    const Flow& flow = *load.table[i];
    const Resolved& want = defaultTable[i];
    SCOPED_TRACE(want.name);
    EXPECT_STREQ(flow.name, want.name);
    EXPECT_EQ(flow.base, want.base);
    EXPECT_EQ(flow.size, want.size);
    EXPECT_EQ(flow.pingpong, want.pingpong);
    EXPECT_EQ(flow.firmware, want.firmware);
    EXPECT_EQ(flow.observer, want.header ? &load.headerObserver : &load.flowObserver);
    EXPECT_EQ(flow.startB, want.base + want.pingpong);
    EXPECT_EQ(flow.endA, want.base + want.size);
    EXPECT_EQ(flow.endB, want.base + want.pingpong + want.size);
    EXPECT_EQ(flow.maxBlock, want.size / 256);
    EXPECT_EQ(flow.capacity, want.size);
    EXPECT_EQ(flow.blockSize, 256u);
    EXPECT_EQ(flow.idle, 1);
    EXPECT_EQ(flow.sourceId, 0u);
    EXPECT_EQ(flow.data, nullptr);  // storage comes with the first block
    EXPECT_TRUE(flow.blockCounts.empty());
  }
  EXPECT_EQ(load.header.timestampAt, 24u + 64u);
  EXPECT_EQ(load.soft.batchAt, 24u);
}

TEST(DefaultLayout, WritesTheConfigurationLinesAtLevelTwo) {
  CapturedMessages messages(2);
  Load load(defaultLayoutText());
  ASSERT_EQ(load.run(), nullptr);
  EXPECT_EQ(messages.err,
            "-i: Cfg: pingpong=0x1000000\n"
            "-i: Cfg: mbase=0x80000000\n"
            "-i: Flow: SWHDR b=0xA0000000 (+0x1000000), f=h, s=4096 \n"
            "-i: Flow: SWSUM b=0xA0010000 (+0x1000000), f=c16, s=2097152 \n"
            "-i: Flow: SWGUARD b=0xA0110000 (+0x1000000), f=c16, s=2097152 \n"
            "-i: Flow: F-HDR b=0x80000000 (+0x1000000), f=u32, s=4096 \n"
            "-i: Flow: F-GUARD b=0x80801000 (+0x1000000), f=c16, s=2097152 \n"
            "-i: Flow: F-SUM b=0x80101000 (+0x1000000), f=c16, s=2097152 \n"
            "-i: Flow: F-DC1DAZ b=0x80001000 (+0x1000000), f=c16, s=2097152 \n"
            "-i: Flow: F-DC1DEL b=0x80201000 (+0x1000000), f=c16, s=2097152 \n"
            "-i: Flow: F-DAZ b=0x80401000 (+0x1000000), f=c16, s=2097152 \n"
            "-i: Flow: F-DEL b=0x80701000 (+0x1000000), f=c16, s=2097152 \n"
            "-i: Flow: SOFT b=0xF0000000 (+0x0), f=SW, s=4194304 \n"
            "-i: Flow: SOFTDFE b=0xE0000000 (+0x0), f=SW, s=4194304 \n"
            "-i: Flow: VIDEO b=0xEF000000 (+0x0), f=video, s=2097152 \n"
            "-i: Flow: CTRLINK b=0x0 (+0x10000), f=u32, s=16384 \n"
            "-i: Flow: EXTLINK b=0x10000000 (+0x10000), f=u32, s=16384 \n"
            "-i: Flow: AESA b=0xD0040000 (+0x8000), f=u32, s=8192 \n"
            "-i: Flow: DET b=0x55000000 (+0x4000), f=u32, s=16384 \n"
            "-i: Flow: EXP b=0x58200000 (+0x400), f=u32, s=1024 \n"
            "-i: Flow: PC b=0x57000000 (+0x20000), f=u32, s=8192 \n"
            "-i: Flow: DISP b=0x56000000 (+0x200), f=u32, s=512 \n"
            "-i: Flow: DISPHEADER b=0x56004000, f=H, s=4096, b@=24, r@=26, c@=27\n"
            "-i: Flow: TIMER b=0x44A10000 (+0x2000), f=u32, s=8192 \n"
            "-i: Flow: UNKNOW1 b=0x70000000 (+0x1000), f=u32, s=8192 \n");
  EXPECT_EQ(messages.out, "");
  EXPECT_EQ(msg::counter(2), 25u);
}

TEST(DefaultLayout, LinesAreHiddenAboveLevelTwo) {
  CapturedMessages messages(3);
  Load load(defaultLayoutText());
  ASSERT_EQ(load.run(), nullptr);
  EXPECT_EQ(messages.all, "");
}

TEST(DefaultLayout, IsOneRelaxedLineInKeyOrder) {
  std::string text = defaultLayoutText();
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.find('"'), std::string::npos);
  // The help array lacks the comma between its second and third elements.
  EXPECT_NE(text.find("(nrbin)'}        {'texfmt'"), std::string::npos);
  std::vector<JsonNode> nodes(2048);
  const JsonNode* root = parseLayoutJson(text.data(), nodes.data(), nodes.size());
  ASSERT_NE(root, nullptr);
  std::vector<std::string> keys;
  for (const JsonNode* child = root->value.firstChild; child; child = child->next) keys.push_back(child->name);
  EXPECT_EQ(keys, (std::vector<std::string>{"pingpong", "base", "flows", "help_"}));
  int helpEntries = 0;
  for (const JsonNode* e = findMember(root, "help_")->value.firstChild; e; e = e->next) ++helpEntries;
  EXPECT_EQ(helpEntries, 3);
  const JsonNode* soft = findMember(root, "flows")->value.firstChild;
  for (int i = 1; i < 11; ++i) soft = soft->next;
  EXPECT_STREQ(memberText(soft, "name"), "SOFT");
  EXPECT_EQ(findMember(soft, "pingpong")->kind, JsonKind::Integer);
  EXPECT_EQ(findMember(soft, "size")->kind, JsonKind::Text);
}

TEST(FlowTable, ParsingAndFlowsErrors) {
  CapturedMessages messages(2);
  EXPECT_STREQ(Load("{'flows':[}").run(), "Parsing Error");
  EXPECT_STREQ(Load("['flows']").run(), "Parsing Error");
  EXPECT_EQ(messages.all, "");
  EXPECT_STREQ(Load("{'flows':{}}").run(), "flows object not found");
  EXPECT_STREQ(Load("{'flows':'x', 'flows':[]}").run(), "flows object not found");
  EXPECT_EQ(messages.err.size(), 2 * std::strlen("-i: Cfg: pingpong=0x0\n-i: Cfg: mbase=0x0\n"));
  // The settings are read and logged before the flows are looked for.
  messages.err.clear();
  EXPECT_STREQ(Load("{'base':'0x10'}").run(), "flows object not found");
  EXPECT_EQ(messages.err, "-i: Cfg: pingpong=0x0\n-i: Cfg: mbase=0x10\n");
}

TEST(FlowTable, EmptyFlowsArrayGivesAnEmptyTable) {
  CapturedMessages messages(2);
  Load load("{'pingpong':'0x10', 'base':'020', 'flows':[]}");
  EXPECT_EQ(load.run(), nullptr);
  EXPECT_TRUE(load.table.empty());
  EXPECT_EQ(messages.err, "-i: Cfg: pingpong=0x10\n-i: Cfg: mbase=0x10\n");
}

TEST(FlowTable, ElementsThatAreNotObjectsAreSkippedSilently) {
  CapturedMessages messages(2);
  Load load(layoutWith("'text', 12, [], null, {'name':'A', 'base':'0x10'}"));
  EXPECT_EQ(load.run(), nullptr);
  ASSERT_EQ(load.table.size(), 1u);
  EXPECT_STREQ(load.table[0]->name, "A");
  EXPECT_EQ(messages.err,
            "-i: Cfg: pingpong=0x0\n-i: Cfg: mbase=0x80000000\n"
            "-i: Flow: A b=0x10 (+0x0), f=c16, s=2097152 \n");
}

TEST(FlowTable, SizeSuffixesAndDefaults) {
  EXPECT_EQ(sizeOf("{'name':'A','base':'0','size':'4M'}"), 0x400000u);
  EXPECT_EQ(sizeOf("{'name':'A','base':'0','size':'8K'}"), 0x2000u);
  EXPECT_EQ(sizeOf("{'name':'A','base':'0','size':'8k'}"), 0x2000u);
  EXPECT_EQ(sizeOf("{'name':'A','base':'0','size':'1m'}"), 0x100000u);
  EXPECT_EQ(sizeOf("{'name':'A','base':'0','size':'0x200'}"), 0x200u);
  EXPECT_EQ(sizeOf("{'name':'A','base':'0','size':4096}"), 4096u);
  EXPECT_EQ(sizeOf("{'name':'A','base':'0','size':'16Kb'}"), 16384u);
  EXPECT_EQ(sizeOf("{'name':'A','base':'0','size':'0x10 K'}"), 0x10u);  // only the very next character
  EXPECT_EQ(sizeOf("{'name':'A','base':'0'}", "'max_size':'0x100000',"), 0x100000u);
  EXPECT_EQ(sizeOf("{'name':'A','base':'0'}"), 0x200000u);
  EXPECT_EQ(sizeOf("{'name':'A','base':'0'}", "'max_size':'0x100000000',"), 0x200000u);  // out of range
  EXPECT_EQ(sizeOf("{'name':'A','base':'0'}", "'max_size':1024,"), 0x200000u);  // unquoted: ignored
  EXPECT_EQ(sizeOf("{'name':'A','base':'0','size':0}"), 0x200000u);
  EXPECT_EQ(sizeOf("{'name':'A','base':'0','size':'0'}", "'max_size':'0',"), 0x200000u);
}

TEST(FlowTable, HeaderFlowKeepsAZeroSize) {
  Load load(layoutWith(std::string("{") + header + "'size':0, 'rows@':1,'cols@':2,'batch@':3,'tag@':4}"));
  ASSERT_EQ(load.run(), nullptr);
  const Flow& flow = *load.table[0];
  EXPECT_EQ(flow.size, 4096u);  // the first "size" wins
  Load zero(layoutWith("{'name':'H','base':'0x100','format':'H','size':0,'rows@':1,'cols@':2,'batch@':3,'tag@':4}"));
  ASSERT_EQ(zero.run(), nullptr);
  EXPECT_EQ(zero.table[0]->size, 0u);
  EXPECT_EQ(zero.table[0]->endA, zero.table[0]->startA);  // never matches an address
  zero.table[0]->allocate();
  EXPECT_EQ(zero.table[0]->blockCounts.size(), 1u);
}

TEST(FlowTable, BasesAndPingpongs) {
  Load load(layoutWith("{'name':'G','base':'+0x00801000'}, {'name':'Z','base':'+0'},"
                       "{'name':'P','base':'0x10','pingpong':0}, {'name':'Q','base':'0x10','pingpong':'0x20'}",
                       "'pingpong':'0x01000000', 'base':'0x80000000',"));
  ASSERT_EQ(load.run(), nullptr);
  EXPECT_EQ(load.flow("G").base, 0x80801000u);
  EXPECT_EQ(load.flow("G").pingpong, 0x1000000u);
  EXPECT_EQ(load.flow("Z").base, 0x80000000u);
  EXPECT_EQ(load.flow("P").pingpong, 0u);
  EXPECT_EQ(load.flow("Q").pingpong, 0x20u);
  Load unquoted(layoutWith("{'name':'A','base':'0x10'}", "'pingpong': 16777216, 'base': 2147483648,"));
  ASSERT_EQ(unquoted.run(), nullptr);
  EXPECT_EQ(unquoted.table[0]->pingpong, 0u);
  Load relative(layoutWith("{'name':'A','base':'+16'}", "'base': 2147483648,"));
  ASSERT_EQ(relative.run(), nullptr);
  EXPECT_EQ(relative.table[0]->base, 16u);  // the unquoted layout base is ignored too
}

TEST(FlowTable, FormatsDecideKindAndFirmware) {
  CapturedMessages messages(2);
  Load load(layoutWith("{'name':'S','base':'0','format':'SW'}, {'name':'s','base':'0','format':'sw'},"
                       "{'name':'h','base':'0','size':'1K','format':'h','rows@':1,'cols@':2,'batch@':3,'tag@':4}"));
  ASSERT_EQ(load.run(), nullptr);
  EXPECT_EQ(load.flow("S").firmware, 0);
  EXPECT_EQ(load.flow("s").firmware, 1);
  EXPECT_EQ(load.flow("h").observer, &load.flowObserver);
  EXPECT_EQ(load.header.batchAt, 24u);  // lower-case "h" leaves the offsets alone
  EXPECT_EQ(load.header.timestampAt, 0u);
  EXPECT_NE(messages.err.find("-i: Flow: h b=0x0 (+0x0), f=h, s=1024 \n"), std::string::npos);
}

TEST(FlowTable, HeaderFlowSetsTheOffsetsOfBothObservers) {
  CapturedMessages messages(2);
  Load load(layoutWith(std::string("{") + header + "'rows@':'0x1A','cols@':27,'batch@':'30','tag@':-1}"));
  ASSERT_EQ(load.run(), nullptr);
  EXPECT_EQ(load.table[0]->observer, &load.headerObserver);
  EXPECT_EQ(load.header.rowsAt, 26u);
  EXPECT_EQ(load.header.colsAt, 27u);
  EXPECT_EQ(load.header.batchAt, 30u);
  EXPECT_EQ(load.header.tagAt, 0xFFFFFFFFu);
  EXPECT_EQ(load.header.timestampAt, 94u);
  EXPECT_EQ(load.soft.rowsAt, 26u);
  EXPECT_EQ(load.soft.timestampAt, 94u);
  EXPECT_NE(messages.err.find("-i: Flow: HDR b=0x100, f=H, s=4096, b@=30, r@=26, c@=27\n"), std::string::npos);
}

TEST(FlowTable, TimestampOffsetRules) {
  auto timestampAt = [](const std::string& extra) {
    Load load(layoutWith(std::string("{") + header + "'rows@':26,'cols@':27,'batch@':24,'tag@':25" + extra + "}"));
    EXPECT_EQ(load.run(), nullptr);
    return load.header.timestampAt;
  };
  EXPECT_EQ(timestampAt(""), 88u);
  EXPECT_EQ(timestampAt(",'timestamp@':'+3'"), 27u);
  EXPECT_EQ(timestampAt(",'timestamp@':'5'"), 5u);
  EXPECT_EQ(timestampAt(",'timestamp@':7"), 7u);
}

TEST(FlowTable, MissingTargetsAreSkipped) {
  Load load(layoutWith(std::string("{") + header + "'rows@':1,'cols@':2,'batch@':3,'tag@':4}, {'name':'A','base':'0'}"));
  load.targets = LayoutTargets{};
  ASSERT_EQ(load.run(), nullptr);
  EXPECT_EQ(load.table[0]->observer, &load.table[0]->defaultObserver);
  EXPECT_EQ(load.table[1]->observer, &load.table[1]->defaultObserver);
  EXPECT_EQ(&load.table[1]->consumer(), &load.table[1]->defaultObserver);
}

TEST(FlowTable, EntryWithoutARequiredKeyRejectsTheLayout) {
  struct Case {
    std::string flows;
    const char* error;
  };
  const std::string fullHeader = std::string("{") + header + "'rows@':1,'cols@':2,'batch@':3,'tag@':4}";
  const Case cases[] = {
      {"{'base':'0'}", "flow 1: missing \"name\""},
      {"{'name':'A','base':'0'}, 'x', {'name':'B'}", "flow 3: missing \"base\""},
      {"{'name':'A','base':{}}", "flow 1: missing \"base\""},
      {"{'name':'H','base':'0','format':'H','cols@':2,'batch@':3,'tag@':4}", "flow 1: missing \"rows@\""},
      {"{'name':'H','base':'0','format':'H','rows@':2,'batch@':3,'tag@':4}", "flow 1: missing \"cols@\""},
      {"{'name':'H','base':'0','format':'H','rows@':1,'cols@':2,'tag@':4}", "flow 1: missing \"batch@\""},
      {fullHeader + ",{'name':'H','base':'0','format':'H','rows@':1,'cols@':2,'batch@':3}", "flow 2: missing \"tag@\""},
  };
  for (const Case& c : cases) {
    CapturedMessages messages(2);
    Load load(layoutWith(c.flows));
    EXPECT_STREQ(load.run(), c.error) << c.flows;
    // Nothing is built or bound from a rejected layout.
    EXPECT_TRUE(load.table.empty());
    EXPECT_EQ(load.header.batchAt, 24u);
    EXPECT_EQ(messages.err.find("Flow:"), std::string::npos);
  }
}

TEST(FlowTable, AppendsToTheTableWithNamesInTheText) {
  Load load(layoutWith("{'name':'A','base':'0'}"));
  load.table.push_back(std::make_unique<Flow>());
  ASSERT_EQ(load.run(), nullptr);
  ASSERT_EQ(load.table.size(), 2u);
  const char* name = load.table[1]->name;
  EXPECT_STREQ(name, "A");
  EXPECT_TRUE(name > load.buffer.data() && name < load.buffer.data() + load.buffer.size());
}
