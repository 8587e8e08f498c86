// tarsel-records as users run it, on hand-made files and on what tarsel writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "records/records.h"
#include "support/recording.h"
#include "support/run_program.h"

using ::testing::HasSubstr;

namespace {

Bytes record(const std::string& name, const Bytes& data, uint64_t at, uint8_t source = 0x33) {
  Bytes bytes(records::headerSize);
  records::encodeHeader(bytes.data(), name, source, 1, uint32_t(data.size()), at);
  append(bytes, data);
  return bytes;
}

Bytes counting(size_t n, uint8_t from) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(from + i);
  return b;
}

class RecordsProgram : public ::testing::Test {
 protected:
  ProgramResult run(const std::string& arguments) {
    return runProgram(dir, tarselPath("tarsel-records"), arguments);
  }
  /// F-SUM, SOFT, F-SUM: two signal records of 8 bytes around a software record of 6.
  void writeSample(const std::string& name = "x.out") {
    Bytes file;
    append(file, record("F-SUM", counting(8, 0), file.size()));
    append(file, record("SOFT", counting(6, 100), file.size(), 0x53));
    append(file, record("F-SUM", counting(8, 50), file.size()));
    sample = file;
    writeFile(dir.file(name), file);
  }
  TempDir dir;
  Bytes sample;
};

}  // namespace

TEST_F(RecordsProgram, ExitStatusesFollowTheCommandLineAndTheFile) {
  writeSample();
  Bytes cut = sample;
  cut.resize(cut.size() - 3);
  writeFile(dir.file("cut.out"), cut);
  struct Case {
    const char* arguments;
    int status;
  } cases[] = {
      {"--help", 0},          {"info --help", 0},          {"extract -h", 0},
      {"--version", 0},       {"", 2},                     {"frobnicate x.out", 2},
      {"list --bogus x.out", 2}, {"list x.out x.out", 2},  {"extract x.out -o y", 2},
      {"extract x.out --flow F-SUM", 2}, {"extract x.out --flow F-SUM --npy --dtype f8 -o y", 2},
      {"list --source 300 x.out", 2}, {"list --csv --json x.out", 2}, {"recover x.out", 2},
      {"check x.out", 0},     {"check cut.out", 1},        {"check x.out cut.out", 1},
      {"info missing.out", 1}, {"extract x.out --flow NONE -o y", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.arguments).status, c.status) << c.arguments;
  EXPECT_EQ(run("--version").out, "tarsel-records 2.1\n");
  EXPECT_THAT(run("check cut.out").out,
              HasSubstr("cut.out: stops at offset 78 (0x4E): cut record: F-SUM record of 8 bytes, "
                        "the file ends 5 bytes into its data\n"));
}

TEST_F(RecordsProgram, InfoSumsUpPerFlowAndSource) {
  writeSample();
  ProgramResult r = run("info --json x.out");
  EXPECT_EQ(r.out,
            "{\"file\":\"x.out\",\"size\":118,\"records\":3,\"data_bytes\":22,\"flows\":["
            "{\"name\":\"F-SUM\",\"source\":51,\"records\":2,\"data_bytes\":16,\"smallest\":8,\"largest\":8},"
            "{\"name\":\"SOFT\",\"source\":83,\"records\":1,\"data_bytes\":6,\"smallest\":6,\"largest\":6}],"
            "\"end_field_mismatches\":0,\"walks_to_end\":true,\"stop\":null}\n");
  EXPECT_THAT(run("info x.out").out, HasSubstr("  walks to its end\n"));
}

TEST_F(RecordsProgram, ListsTheSelectedRecords) {
  writeSample();
  EXPECT_EQ(run("list --csv --flow F-SUM x.out").out,
            "index,offset,name,source,tag,length\n0,0,F-SUM,51,1,8\n2,78,F-SUM,51,1,8\n");
  EXPECT_EQ(run("list --json --source EIF x.out").out,
            "{\"index\":1,\"offset\":40,\"name\":\"SOFT\",\"source\":83,\"tag\":1,\"length\":6}\n");
  EXPECT_EQ(run("list --source=0x53 x.out").out,
            "   index        offset  name      source     tag      length\n"
            "       1            40  SOFT      0x53 EIF  0x01           6\n");
}

TEST_F(RecordsProgram, ExtractsRawDataAndNpyArrays) {
  writeSample();
  ASSERT_EQ(run("extract x.out --flow F-SUM -o raw.bin").status, 0);
  Bytes expected = counting(8, 0);
  append(expected, counting(8, 50));
  EXPECT_EQ(readFile(dir.file("raw.bin")), expected);

  ASSERT_EQ(run("extract x.out --flow F-SUM --npy --dtype u2 -o a.npy").status, 0);
  Bytes npy = readFile(dir.file("a.npy"));
  ASSERT_EQ(npy.size(), 128u + 16u);  // the preamble pads the data to a multiple of 64 bytes
  const std::string header(npy.begin(), npy.begin() + 128);
  EXPECT_EQ(header.substr(0, 10), std::string("\x93NUMPY\x01\x00\x76\x00", 10));
  EXPECT_THAT(header, HasSubstr("{'descr': '<u2', 'fortran_order': False, 'shape': (2, 4), }"));
  EXPECT_EQ(header.back(), '\n');
  EXPECT_EQ(Bytes(npy.begin() + 128, npy.end()), expected);

  ProgramResult r = run("extract x.out --flow F-SUM --npy --dtype u4 -o -");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("'shape': (2, 2)"));
  EXPECT_THAT(run("extract x.out --flow SOFT --npy --dtype i4 -o s.npy").err,
              HasSubstr("not a whole number of i4 values"));
}

TEST_F(RecordsProgram, NpyRefusesRecordsOfUnequalLength) {
  Bytes file = record("SOFT", counting(8, 0), 0);
  append(file, record("SOFT", counting(16, 0), file.size()));
  writeFile(dir.file("x.out"), file);
  ProgramResult r = run("extract x.out --flow SOFT --npy -o a.npy");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tarsel-records: extract: records of SOFT have unequal lengths (8 bytes at offset 0, "
                   "16 bytes at offset 40); a .npy array needs records of one length\n");
}

TEST_F(RecordsProgram, RecoverKeepsWholeRecordsAndSaysWhatItDropped) {
  writeSample();
  Bytes damaged = sample;
  damaged[40 + 2] = 0;                               // the SOFT record's marker
  damaged.insert(damaged.end(), {0x7A, 0x7A, 0x7A});  // a cut header at the end
  writeFile(dir.file("bad.out"), damaged);
  ProgramResult r = run("recover bad.out good.out");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "dropped 38 bytes at offset 40 (0x28): damage: no record marker\n"
            "dropped 3 bytes at offset 118 (0x76): cut record header: the file ends 3 bytes into a "
            "record header\n"
            "bad.out: kept 2 records (80 bytes) in good.out; dropped 41 bytes in 2 places\n");
  // The copy is whole, with end fields for its own positions.
  Bytes expected = record("F-SUM", counting(8, 0), 0);
  append(expected, record("F-SUM", counting(8, 50), 40));
  EXPECT_EQ(readFile(dir.file("good.out")), expected);
  EXPECT_EQ(run("check good.out").status, 0);
}

TEST_F(RecordsProgram, RecoverNeverWritesOverItsInput) {
  writeSample("in.out");
  ASSERT_EQ(::link(dir.file("in.out").c_str(), dir.file("same.out").c_str()), 0);
  for (const char* out : {"in.out", "same.out", "./in.out"}) {
    ProgramResult r = run(std::string("recover in.out ") + out);
    EXPECT_EQ(r.status, 2) << out;
    EXPECT_THAT(r.err, HasSubstr("recover never writes over its input")) << out;
    EXPECT_EQ(readFile(dir.file("in.out")), sample) << out;
  }
}

TEST_F(RecordsProgram, ReadsWhatTarselWrites) {
  ASSERT_EQ(runProgram(dir, tarselPath("tarsel-synth"), "--batches 6 --quiet").status, 0);
  ProgramResult conversion = runProgram(dir, tarselPath(), "_19-05-17-10-30-00_1.rec");
  ASSERT_EQ(conversion.status, 0) << conversion.err;
  const std::string out = "_19-05-17-10-30-00_1-cv.out";
  ProgramResult check = run("check " + out);
  EXPECT_EQ(check.status, 0) << check.out;
  // Every record's data, put back behind its header, gives the file again.
  ProgramResult list = run("list --csv " + out);
  std::istringstream lines(list.out);
  std::string line;
  std::getline(lines, line);
  uint64_t next = 0, count = 0;
  while (std::getline(lines, line)) {
    uint64_t index, offset, length;
    char name[16];
    unsigned source, tag;
    ASSERT_EQ(std::sscanf(line.c_str(), "%lu,%lu,%15[^,],%u,%u,%lu", &index, &offset, name, &source,
                          &tag, &length), 6) << line;
    EXPECT_EQ(offset, next);
    next = offset + 32 + length;
    ++count;
  }
  EXPECT_EQ(next, readFile(dir.file(out)).size());
  EXPECT_THAT(check.out, HasSubstr(": ok: " + std::to_string(count) + " whole records"));
}
