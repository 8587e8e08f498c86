// tarsel-synth: command line, scenario files and the manifest text.
#include "support/run_program.h"
#include "synth_fixture.h"

namespace {

std::string parse(synth::Scenario& s, std::vector<std::string> args) {
  bool help = false;
  return synth::parseCommandLine(s, args, help);
}

TEST(SynthOptions, CommandLineSetsTheScenario) {
  synth::Scenario s;
  ASSERT_EQ(parse(s, {"--seed", "0x10", "--batches=40", "--rows", "16", "--cols", "128", "--date", "2021-03-04",
                      "--time", "08:09:10", "--lat", "-12.5", "--modes", "rws/mprf:10,sar/agr_long:5,gm",
                      "--standby", "3:2,9:4", "--source", "VIDEO=V", "--source", "TIMER=0x41", "--size", "3M",
                      "--split-bytes", "1G", "-o", "out", "--no-bulky", "--fault", "missing-block:flow=F-HDR,at=4"}),
            "");
  EXPECT_EQ(s.seed, 16u);
  EXPECT_EQ(s.batches, 40u);
  EXPECT_EQ(s.rows * s.cols, 2048u);
  EXPECT_EQ(synth::fileStem(s), "_21-03-04-08-09-10_");
  EXPECT_DOUBLE_EQ(s.latitude, -12.5);
  ASSERT_EQ(s.modes.size(), 3u);
  EXPECT_EQ(s.modes[1].mode, 21u);
  EXPECT_EQ(s.modes[1].waveform, 7u);
  EXPECT_EQ(s.modes[1].batches, 5u);
  EXPECT_EQ(s.modes[2].mode, 2u);
  EXPECT_EQ(s.modes[2].batches, 0u);
  ASSERT_EQ(s.standby.size(), 2u);
  EXPECT_EQ(s.standby[1].at, 9u);
  EXPECT_EQ(s.standby[1].batches, 4u);
  EXPECT_EQ(s.sources["VIDEO"], 'V');
  EXPECT_EQ(s.sources["TIMER"], 0x41);
  EXPECT_EQ(s.targetBytes, 3u << 20);
  EXPECT_EQ(s.splitBytes, 1u << 30);
  EXPECT_EQ(s.outputDir, "out");
  EXPECT_TRUE(s.noBulky);
  ASSERT_EQ(s.faults.size(), 1u);
  EXPECT_EQ(s.faults[0].kind, synth::FaultKind::MissingBlock);
  EXPECT_EQ(s.faults[0].flow, "F-HDR");
  EXPECT_EQ(s.faults[0].at, 4u);
}

TEST(SynthOptions, BadOptionsAreNamed) {
  synth::Scenario s;
  EXPECT_EQ(parse(s, {"--rows", "many"}), "bad value for --rows: many");
  EXPECT_EQ(parse(s, {"--colour", "red"}), "unknown option --colour");
  EXPECT_EQ(parse(s, {"--rows"}), "--rows needs a value");
  EXPECT_EQ(parse(s, {"file.rec"}), "unexpected argument file.rec");
  EXPECT_EQ(parse(s, {"--modes", "fast/mprf"}), "bad mode fast");
  EXPECT_EQ(parse(s, {"--fault", "gremlins"}), "unknown fault kind gremlins");
  EXPECT_EQ(parse(s, {"--fault", "missing-block:blok=3"}), "unknown fault setting blok");
  EXPECT_EQ(parse(s, {"--fault", "bit-flips:rate=2"}), "bad fault setting rate=2");
  EXPECT_EQ(parse(s, {"--size", "3X"}), "bad value for --size: 3X");
  EXPECT_EQ(parse(s, {"--time", "25:00:00"}), "bad value for --time: 25:00:00");
  bool help = false;
  EXPECT_EQ(synth::parseCommandLine(s, {"--help"}, help), "");
  EXPECT_TRUE(help);
}

TEST(SynthOptions, ScenarioFileUsesTheOptionNamesAndLaterOptionsWin) {
  TempDir dir;
  std::ofstream(dir.file("s.json")) << R"({
    "seed": 7, "batches": 9, "rows": 4, "cols": 32, "modes": ["rws/mprf:3", "gm/lprf"],
    "standby": ["4:2"], "faults": ["stray-bytes:bytes=32", "batch-hole:at=6"],
    "no-bulky": true, "soft-signals": [], "skip-flows": ["CTRLINK", "DET"], "time": "11:00:00"
  })";
  synth::Scenario s;
  ASSERT_EQ(parse(s, {"--scenario", dir.file("s.json"), "--batches", "12"}), "");
  EXPECT_EQ(s.seed, 7u);
  EXPECT_EQ(s.batches, 12u);
  EXPECT_EQ(s.cols, 32u);
  EXPECT_EQ(s.modes.size(), 2u);
  EXPECT_EQ(s.standby.size(), 1u);
  EXPECT_EQ(s.faults.size(), 2u);
  EXPECT_TRUE(s.noBulky);
  EXPECT_TRUE(s.softSignals.empty());
  EXPECT_EQ(s.skipFlows, (std::vector<std::string>{"CTRLINK", "DET"}));
  EXPECT_EQ(s.timeOfDay, 11u * 3600);

  std::ofstream(dir.file("bad.json")) << R"({"seed": 7, "rows": })";
  EXPECT_EQ(parse(s, {"--scenario", dir.file("bad.json")}).find(dir.file("bad.json") + ": JSON error at byte"), 0u);
  std::ofstream(dir.file("nested.json")) << R"({"scenario": "x.json"})";
  EXPECT_NE(parse(s, {"--scenario", dir.file("nested.json")}).find("not allowed"), std::string::npos);
}

TEST(SynthOptions, JsonReaderHandlesWhatManifestsAndScenariosHold) {
  synth::Json v;
  ASSERT_EQ(synth::parseJson(R"( {"a": [1, 2.5e3, -3], "b": {"c": "x\"y\u0041"}, "d": true, "e": null} )", v), "");
  ASSERT_TRUE(v.is_object());
  EXPECT_EQ(v.at("a").size(), 3u);
  EXPECT_DOUBLE_EQ(v.at("a")[1].get<double>(), 2500);
  EXPECT_EQ(v.at("b").at("c"), "x\"yA");
  EXPECT_TRUE(v.at("d").get<bool>());
  EXPECT_TRUE(v.at("e").is_null());
  EXPECT_EQ(synth::parseJson(R"({"a": })", v).rfind("JSON error at byte 7: ", 0), 0u);
  EXPECT_NE(synth::parseJson("[1, 2", v), "");
  EXPECT_NE(synth::parseJson("{} x", v), "");
  EXPECT_NE(synth::parseJson(std::string(100, '['), v), "");  // too deep, not a crash
}

TEST(SynthOptions, ManifestStatesFilesFlowsBatchesAndFaults) {
  TempDir dir;
  synth::Scenario s = smallScenario(dir);
  s.splitBytes = 300000;
  addFault(s, "duplicated-block:flow=F-SUM,at=4,block=2");
  synth::Manifest m = synthesise(s);
  synth::Json v;
  ASSERT_EQ(synth::parseJson(synth::manifestJson(s, m), v), "");
  EXPECT_EQ(v.at("generator"), "tarsel-synth");
  const auto& files = v.at("files");
  ASSERT_EQ(files.size(), m.files.size());
  EXPECT_EQ(files[1].at("name"), "_19-05-17-10-30-00_2.rec");
  EXPECT_EQ(files[1].at("start"), 300000);
  EXPECT_EQ(v.at("batches").at("first"), 1000);
  EXPECT_EQ(v.at("batches").at("last"), 1005);
  EXPECT_EQ(v.at("scenario").at("latitude"), 45.4);
  EXPECT_EQ(v.at("scenario").at("altitude").dump(), "3000");
  EXPECT_EQ(v.at("scenario").at("date"), "19-05-17");
  const synth::Json* sum = nullptr;
  for (const auto& f : v.at("flows"))
    if (f.at("name") == "F-SUM") sum = &f;
  ASSERT_NE(sum, nullptr);
  EXPECT_EQ(sum->at("source"), "3");
  EXPECT_EQ(sum->at("baseHex"), "0x80101000");
  EXPECT_EQ(sum->at("cycles"), 6);
  EXPECT_EQ(sum->at("blocks"), 6 * 8 + 1);
  const auto& fault = v.at("faults").at(0);
  EXPECT_EQ(fault.at("kind"), "duplicated-block");
  EXPECT_EQ(fault.at("flow"), "F-SUM");
  auto [index, offset] = synth::filePosition(m, m.faults[0].offset);
  EXPECT_EQ(fault.at("fileIndex"), index);
  EXPECT_EQ(fault.at("fileOffset"), offset);
  EXPECT_EQ(fault.at("file"), m.files[index].name);
  EXPECT_EQ(v.at("skippedFlows").at("F-DC1DEL"), "its base address belongs to F-SUM");
}

TEST(SynthProgram, WritesTheRecordingAndManifestAndExplainsItsOptions) {
  TempDir dir;
  std::string synthProgram = tarselPath("tarsel-synth");
  ProgramResult help = runProgram(dir, synthProgram, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: tarsel-synth [options]"), std::string::npos);
  for (const char* option : {"--seed", "--size", "--split-bytes", "--fault", "missing-block", "cut-end"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;

  ProgramResult bad = runProgram(dir, synthProgram, "--rows x");
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "tarsel-synth: bad value for --rows: x (--help lists the options)\n");

  ProgramResult run = runProgram(dir, synthProgram, "--batches 3 --rows 4 --cols 64 --first-index 3 -q");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(std::filesystem::exists(dir.file("_19-05-17-10-30-00_3.rec")));
  synth::Json v;
  ASSERT_EQ(synth::parseJson(slurp(dir.file("_19-05-17-10-30-00_3.rec.manifest.json")), v), "");
  EXPECT_EQ(v.at("totalBytes"), std::filesystem::file_size(dir.file("_19-05-17-10-30-00_3.rec")));
}

}  // namespace
