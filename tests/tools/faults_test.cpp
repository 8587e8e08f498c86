// tarsel-synth: every fault is stated in the manifest with its position and changes the
// bytes there as described.
#include "synth_fixture.h"

namespace {

class SynthFaults : public ::testing::Test {
 protected:
  // Writes the scenario once clean and once with the fault; answers the faulty stream.
  Bytes writeWith(const std::string& option, uint32_t batches = 6) {
    synth::Scenario c = smallScenario(cleanDir, batches);
    synth::Scenario f = smallScenario(faultDir, batches);
    addFault(f, option);
    clean = synthesise(c);
    faulty = synthesise(f);
    cleanStream = wholeStream(clean);
    return wholeStream(faulty);
  }
  const synth::FaultRecord& only() {
    EXPECT_EQ(faulty.faults.size(), 1u);
    return faulty.faults.at(0);
  }
  TempDir cleanDir, faultDir;
  synth::Manifest clean, faulty;
  Bytes cleanStream;
};

TEST_F(SynthFaults, StrayBytesComeBeforeTheFirstBlock) {
  Bytes stream = writeWith("stray-bytes:bytes=40");
  const auto& f = only();
  EXPECT_EQ(f.kind, "stray-bytes");
  EXPECT_EQ(f.offset, 0u);
  EXPECT_EQ(f.bytes, 40u);
  ASSERT_EQ(stream.size(), cleanStream.size() + 40);
  EXPECT_FALSE(hasMarker(stream.data()) || hasMarker(stream.data() + 16));
  EXPECT_TRUE(std::equal(cleanStream.begin(), cleanStream.end(), stream.begin() + 40));
}

TEST_F(SynthFaults, TruncatedBlockIsShortAndTheNextBlockFollowsAtOnce) {
  Bytes stream = writeWith("truncated-block:flow=F-SUM,at=2,block=3,bytes=48");
  const auto& f = only();
  EXPECT_EQ(f.flow, "F-SUM");
  EXPECT_EQ(f.batch, 1002u);
  EXPECT_EQ(f.block, 3u);
  ASSERT_EQ(stream.size(), cleanStream.size() - 48);
  const uint8_t* block = stream.data() + f.offset;
  EXPECT_TRUE(hasMarker(block));
  EXPECT_EQ(u32(block), 0x80101000u + 3 * 256);  // batch 1002: first half
  EXPECT_TRUE(hasMarker(block + 272 - 48));
  EXPECT_EQ(std::memcmp(block + 16, cleanStream.data() + f.offset + 16, 256 - 48), 0);
}

TEST_F(SynthFaults, MissingBlockLeavesAPartialCycle) {
  Bytes stream = writeWith("missing-block:flow=F-SUM,at=3,block=5");
  const auto& f = only();
  EXPECT_EQ(f.block, 5u);
  EXPECT_EQ(f.batch, 1003u);
  ASSERT_EQ(stream.size(), cleanStream.size() - 272);
  EXPECT_EQ(u32(cleanStream.data() + f.offset), 0x81101000u + 5 * 256);  // where it would have been
  EXPECT_NE(u32(stream.data() + f.offset), 0x81101000u + 5 * 256);
  const synth::FlowCount* sum = countOf(faulty, "F-SUM", '3');
  EXPECT_EQ(sum->cycles, 6u);
  EXPECT_EQ(sum->completeCycles, 5u);
  EXPECT_EQ(sum->partialCycles, 1u);
  EXPECT_FALSE(sum->lastCyclePartial);
  auto cycles = readCycles(stream);
  EXPECT_FALSE(cyclesOf(cycles, "F-SUM")[3]->inOrder);
}

TEST_F(SynthFaults, MissingLastBlockShortensTheCycleInstead) {
  writeWith("missing-block:flow=F-HDR,at=5,block=99");
  const auto& f = only();
  EXPECT_EQ(f.block, 15u);
  const synth::FlowCount* hdr = countOf(faulty, "F-HDR", '3');
  EXPECT_EQ(hdr->completeCycles, 6u);
  EXPECT_NE(f.description.find("complete but shorter"), std::string::npos);
}

TEST_F(SynthFaults, DuplicatedBlockIsWrittenTwiceInARow) {
  Bytes stream = writeWith("duplicated-block:flow=F-HDR,at=2,block=1");
  const auto& f = only();
  ASSERT_EQ(stream.size(), cleanStream.size() + 272);
  EXPECT_EQ(u32(stream.data() + f.offset), 0x80000100u);
  EXPECT_EQ(std::memcmp(stream.data() + f.offset + 16, stream.data() + f.offset + 272 + 16, 256), 0);
  EXPECT_EQ(u32(stream.data() + f.offset), u32(stream.data() + f.offset + 272));
  EXPECT_EQ(countOf(faulty, "F-HDR", '3')->blocks, countOf(clean, "F-HDR", '3')->blocks + 1);
}

TEST_F(SynthFaults, UnknownAddressBlocks) {
  Bytes stream = writeWith("unknown-address:address=0x31000000,count=7,at=1");
  const auto& f = only();
  EXPECT_EQ(f.address, 0x31000000u);
  EXPECT_EQ(f.count, 7u);
  EXPECT_EQ(f.batch, 1001u);
  uint32_t found = 0;
  for (size_t pos = 0; pos < stream.size(); pos += 272) found += u32(stream.data() + pos) == 0x31000000u;
  EXPECT_EQ(found, 7u);
  EXPECT_EQ(u32(stream.data() + f.offset), 0x31000000u);

  synth::Scenario s = smallScenario(faultDir);
  addFault(s, "unknown-address:address=0x80101000");
  synth::Manifest m;
  EXPECT_EQ(synth::writeRecording(s, m), "fault unknown-address:address=0x80101000: address 0x80101000 belongs to F-SUM");
}

TEST_F(SynthFaults, SecondSourceWritesOneMoreCycle) {
  Bytes stream = writeWith("second-source:flow=F-HDR,source=V,at=2");
  const auto& f = only();
  EXPECT_EQ(f.sourceId, 'V');
  EXPECT_EQ(u32(stream.data() + f.offset), 0x80000000u);
  EXPECT_EQ(stream[f.offset + 9], 'V');
  const synth::FlowCount* clone = countOf(faulty, "F-HDR", 'V');
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(clone->cycles, 1u);
  EXPECT_EQ(clone->blocks, 16u);
  auto cycles = readCycles(stream);
  ASSERT_EQ(cyclesOf(cycles, "F-HDR", 'V').size(), 1u);
  EXPECT_EQ(cyclesOf(cycles, "F-HDR", 'V')[0]->data, cyclesOf(cycles, "F-HDR", '3')[2]->data);
}

TEST_F(SynthFaults, HeaderWithoutHdr0) {
  Bytes stream = writeWith("no-hdr0:at=4");
  const auto& f = only();
  EXPECT_EQ(f.flow, "F-HDR,DISPHEADER");
  EXPECT_EQ(f.batch, 1004u);
  EXPECT_EQ(std::memcmp(stream.data() + f.offset, "XDR0", 4), 0);
  auto cycles = readCycles(stream);
  for (const char* flow : {"F-HDR", "DISPHEADER", "SWHDR"})
    for (size_t i = 0; i < 6; ++i)
      EXPECT_EQ(std::memcmp(cyclesOf(cycles, flow)[i]->data.data() + 16, i == 4 && flow[0] != 'S' ? "XDR0" : "HDR0", 4), 0)
          << flow << " " << i;
}

TEST_F(SynthFaults, BatchHoleSkipsBatchNumbers) {
  Bytes stream = writeWith("batch-hole:at=3,count=2");
  const auto& f = only();
  EXPECT_EQ(f.batch, 1005u);
  EXPECT_EQ(faulty.batchNumbers, (std::vector<uint32_t>{1000, 1001, 1002, 1005, 1006, 1007}));
  EXPECT_EQ(u32(stream.data() + f.offset), 0xA1000000u);  // the batch opens with its first header block
  EXPECT_EQ(u32(stream.data() + f.offset + 16 + 4 * 24), 1005u);
  EXPECT_NE(f.description.find("1003 to 1004"), std::string::npos);
}

TEST_F(SynthFaults, DamagedSBlockEndMarker) {
  Bytes stream = writeWith("sblock-end:sblock=CDPSTS,at=1");
  const auto& f = only();
  EXPECT_EQ(f.flow, "CDPSTS");
  EXPECT_EQ(f.sourceId, 'S');
  EXPECT_EQ(f.batch, 1001u);
  EXPECT_EQ(stream[f.offset], 0x00);
  EXPECT_EQ(cleanStream[f.offset], 0xA5);
  EXPECT_EQ(std::memcmp(stream.data() + f.offset + 1, "\xA5\xA5\xA5\xA5\xA5\xA5\xA5", 7), 0);
  size_t differing = 0;
  for (size_t i = 0; i < stream.size(); ++i) differing += stream[i] != cleanStream[i];
  EXPECT_EQ(differing, 1u);
}

TEST_F(SynthFaults, BitFlipsAreListedOneByOne) {
  Bytes stream = writeWith("bit-flips:rate=2e-6");
  const auto& f = only();
  ASSERT_GT(f.count, 3u);
  EXPECT_EQ(f.offsets.size(), f.count);
  ASSERT_EQ(stream.size(), cleanStream.size());
  std::vector<uint64_t> differing;
  for (size_t i = 0; i < stream.size(); ++i)
    if (stream[i] != cleanStream[i]) {
      differing.push_back(i);
      uint8_t x = stream[i] ^ cleanStream[i];
      EXPECT_EQ(x & (x - 1), 0) << "one bit per byte at " << i;
    }
  EXPECT_EQ(differing, f.offsets);
}

TEST_F(SynthFaults, LastFileEndsInsideABlock) {
  synth::Scenario c = smallScenario(cleanDir), s = smallScenario(faultDir);
  c.splitBytes = s.splitBytes = 200000;
  addFault(s, "cut-end:bytes=120");
  clean = synthesise(c);
  faulty = synthesise(s);
  const auto& f = only();
  EXPECT_EQ(faulty.totalBytes, clean.totalBytes - 120);
  EXPECT_EQ(f.offset, faulty.totalBytes);
  EXPECT_EQ(f.flow, "SOFT");  // the software stream closes every batch
  ASSERT_EQ(faulty.files.size(), clean.files.size());
  EXPECT_EQ(faulty.files.back().size, clean.files.back().size - 120);
  EXPECT_EQ(std::filesystem::file_size(faulty.files.back().path), faulty.files.back().size);
  EXPECT_EQ(faulty.totalBytes % 272, 152u);
}

}  // namespace
