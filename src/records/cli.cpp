// The command line of tarsel-records: a command, then its options and files.
#include <cstdlib>
#include <cstring>

#include "commands.h"

#ifndef TARSEL_VERSION
#define TARSEL_VERSION "?"
#endif

namespace records {
namespace {

constexpr const char mainHelp[] =
    "Usage: tarsel-records COMMAND [OPTIONS] FILE...\n"
    "Reads the destination files that tarsel writes (<recording>-cv.out): one record per saved\n"
    "cycle of a flow, each a 32-byte record header and the flow's data.\n"
    "\n"
    "Commands:\n"
    "  info      records, data bytes, smallest and largest length per flow and source;\n"
    "            whether the file walks to its end, else where and why it stops\n"
    "  list      one line per record: index, offset, name, source, tag, length\n"
    "  extract   the data of one flow's records, raw or as a NumPy .npy array\n"
    "  check     status 0 when every record is whole and the file walks to its end, else 1\n"
    "  recover   copies the whole records of a damaged file into a new one\n"
    "\n"
    "Options:\n"
    "  -h, --help     this help; 'tarsel-records COMMAND --help' for a command\n"
    "  -V, --version  the version\n"
    "\n"
    "Exit status: 0 success, 1 a file that cannot be read or written (check: a file that is not\n"
    "whole), 2 a command line that is not understood.\n";

struct Command {
  const char* name;
  const char* options;  // the options it takes, each between spaces
  std::size_t minFiles, maxFiles;
  int (*run)(const Arguments&);
  const char* help;
};

const Command commands[] = {
    {"info", " --json ", 1, SIZE_MAX, runInfo,
     "Usage: tarsel-records info [--json] FILE...\n"
     "Per flow and source: records, data bytes, smallest and largest length; the totals; and\n"
     "whether the file walks to its end, else the offset where it stops and why (a bare record\n"
     "written with /onlydsp, a cut record, damage). Only the record headers are read.\n"
     "\n"
     "  --json   one JSON object per file, on one line\n"},
    {"list", " --flow --source --csv --json ", 1, 1, runList,
     "Usage: tarsel-records list [--flow NAME]... [--source S] [--csv | --json] FILE\n"
     "One line per record: index, offset, name, source, tag and data length.\n"
     "\n"
     "  --flow NAME  only records of this flow (may be given more than once)\n"
     "  --source S   only records of this source id (0x33, 51) or name (DSP, EIF, DFE)\n"
     "  --csv        comma-separated values with a header line\n"
     "  --json       one JSON object per record (JSON lines)\n"},
    {"extract", " --flow --source -o --npy --dtype ", 1, 1, runExtract,
     "Usage: tarsel-records extract FILE --flow NAME [--source S] -o OUT [--npy [--dtype T]]\n"
     "Writes the data of the flow's records one after the other into OUT (- for standard\n"
     "output), without their headers.\n"
     "\n"
     "  --flow NAME  the flow (required)\n"
     "  --source S   only records of this source id (0x33, 51) or name (DSP, EIF, DFE)\n"
     "  -o OUT       the output file, - for standard output (required)\n"
     "  --npy        write a NumPy .npy array of shape (records, length); all records must\n"
     "               have the same length\n"
     "  --dtype T    the array's element type, little-endian: u1 (default), i2, u2, i4, u4, f4\n"},
    {"check", " ", 1, SIZE_MAX, runCheck,
     "Usage: tarsel-records check FILE...\n"
     "Exit status 0 when every record is whole and the file walks to its end; 1 otherwise, with\n"
     "the offset and the reason on standard output.\n"},
    {"recover", " ", 2, 2, runRecover,
     "Usage: tarsel-records recover IN OUT\n"
     "Copies every whole record of IN into OUT. After damage it goes on at the next record\n"
     "marker and says what it dropped (offset, bytes, why). OUT gets end fields for its own\n"
     "positions. OUT must not be IN.\n"},
};

int usageError(const std::string& text, const char* command) {
  complain(text);
  std::fprintf(stderr, "Run 'tarsel-records %s--help' for its options.\n",
               command ? (std::string(command) + " ").c_str() : "");
  return 2;
}

bool parseSource(const std::string& text, std::uint8_t& source) {
  for (unsigned id : {0x53u, 0x33u, 0x56u})
    if (strcasecmp(text.c_str(), sourceName(std::uint8_t(id))) == 0) {
      source = std::uint8_t(id);
      return true;
    }
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || value > 0xFF) return false;
  source = std::uint8_t(value);
  return true;
}

int runCommand(const Command& command, int argc, char** argv) {
  Arguments a;
  bool outGiven = false;
  for (int i = 0; i < argc; ++i) {
    std::string word = argv[i], value;
    if (word == "--help" || word == "-h") {
      std::fputs(command.help, stdout);
      return 0;
    }
    if (word.size() < 2 || word[0] != '-') {
      a.files.push_back(word);
      continue;
    }
    const std::size_t equals = word.find('=');
    const bool inlineValue = word.rfind("--", 0) == 0 && equals != std::string::npos;
    if (inlineValue) {
      value = word.substr(equals + 1);
      word.resize(equals);
    }
    if (!std::strstr(command.options, (" " + word + " ").c_str()))
      return usageError("unknown option '" + word + "' for " + command.name, command.name);
    const bool takesValue = word == "--flow" || word == "--source" || word == "-o" || word == "--dtype";
    if (takesValue && !inlineValue) {
      if (i + 1 >= argc) return usageError(word + " needs a value", command.name);
      value = argv[++i];
    } else if (!takesValue && inlineValue) {
      return usageError(word + " takes no value", command.name);
    }
    if (word == "--json") a.json = true;
    else if (word == "--csv") a.csv = true;
    else if (word == "--npy") a.npy = true;
    else if (word == "--flow") a.flows.push_back(value);
    else if (word == "-o") a.out = value, outGiven = true;
    else if (word == "--dtype") a.dtype = value;
    else if (word == "--source") {
      std::uint8_t source = 0;
      if (!parseSource(value, source))
        return usageError("--source takes a source id from 0 to 255 or DSP, EIF, DFE, not '" +
                              value + "'", command.name);
      a.source = source;
    }
  }
  if (a.files.size() < command.minFiles || a.files.size() > command.maxFiles)
    return usageError(std::string(command.name) + ": " +
                          (command.minFiles == 2 ? "needs IN and OUT"
                           : command.maxFiles == 1 ? "needs one FILE"
                                                   : "needs at least one FILE"),
                      command.name);
  if (a.json && a.csv) return usageError("--csv and --json exclude each other", command.name);
  if (std::strcmp(command.name, "extract") == 0) {
    if (a.flows.size() != 1) return usageError("extract needs one --flow NAME", command.name);
    if (!outGiven) return usageError("extract needs -o OUT (- for standard output)", command.name);
    static const char* const types[] = {"u1", "i2", "u2", "i4", "u4", "f4"};
    bool known = false;
    for (const char* t : types) known = known || a.dtype == t;
    if (!known) return usageError("--dtype takes u1, i2, u2, i4, u4 or f4, not '" + a.dtype + "'", command.name);
  }
  return command.run(a);
}

}  // namespace

int recordsMain(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(mainHelp, stderr);
    return 2;
  }
  const std::string word = argv[1];
  if (word == "--help" || word == "-h" || word == "help") {
    std::fputs(mainHelp, stdout);
    return 0;
  }
  if (word == "--version" || word == "-V") {
    std::printf("tarsel-records %s\n", TARSEL_VERSION);
    return 0;
  }
  for (const Command& command : commands)
    if (word == command.name) return runCommand(command, argc - 2, argv + 2);
  return usageError("unknown command '" + word + "'", nullptr);
}

}  // namespace records
