// The subcommands of tarsel-records and what they share; private to this folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "records/records.h"

namespace records {

/// What a subcommand's command line says.
struct Arguments {
  std::vector<std::string> files;
  std::vector<std::string> flows;  ///< --flow, in the order given
  std::optional<std::uint8_t> source;
  std::string out;                 ///< -o; empty when not given
  std::string dtype = "u1";
  bool json = false, csv = false, npy = false;
};

/// Whether a record passes the --flow and --source filters.
bool selected(const Arguments& arguments, const Record& record);

/// Text of `value` as a JSON string, with quotes.
std::string jsonString(const std::string& value);

/// Name of a stop kind for JSON ("end", "bare_record", ...).
const char* stopKindName(StopKind kind);

/// Writes "tarsel-records: TEXT" on standard error.
void complain(const std::string& text);

int runInfo(const Arguments& arguments);
int runList(const Arguments& arguments);
int runCheck(const Arguments& arguments);
int runExtract(const Arguments& arguments);
int runRecover(const Arguments& arguments);

}  // namespace records
