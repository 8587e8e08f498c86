// The session history files: opening them with their header line, the line check, and the
// AESA command and response detail that only the AESA file receives.
#include <algorithm>
#include <cstdio>
#include <string>

#include "commandline/messages.h"
#include "post_process_state.h"

namespace {

constexpr uint64_t ticksPerSecond = 15625;  // "TTAG" counts 64-microsecond ticks
constexpr uint32_t commandGroups = 4;       // the AESA file shows exactly this many commands
constexpr uint32_t responseGroups = 16;     // and at most this many responses
// The message cell of a command or response: code, flag bit, value, error kind, name. The code
// was long written "0x%02.2X"; a '0' flag has no effect beside a precision, so "%.2X" prints the same.
const char* const messageCell = "0x%.2X;%u;%3u;%4d;%-12.12s;";
const char* const emptyCommandGroup = "0x%.2X;%u;%3u;%4d;%-12.12s;>;";

void printBeam(HistoryFiles& files, const AesaBeam& b) {
  pp_printf(files, "%d;", static_cast<int>(b.field1));
  pp_printf(files, "%6u;%6u;", b.field2, b.field3);
  pp_printf(files, "%9.6f;%9.6f;%9.6f;%9.6f;", b.field4, b.field5, b.field6, b.field7);
  pp_printf(files, "%6u;%3u;%6u;%3u;", b.field8, b.field9, b.field10, b.field11);
  pp_printf(files, "%9.6f;%9.6f;", b.field12, b.field13);
  pp_printf(files, "%6u;%3u;%6u;%3u;", b.field14, b.field15, b.field16, b.field17);
}

}  // namespace

const char* PostProcessState::sourceText() const {
  const char* text = msg::context();
  if (text) return text;
  return lastSourceName_.c_str();
}

bool PostProcessState::openHistoryFiles() {
  // After a failure the F message has ended the run, unless it was hidden: then every line
  // check tries again (and counts another F).
  if (level_ < 0) return false;
  historyContext_ = sourceText();
  std::string historyName = "pp-" + historyContext_ + ".txt";
  if (!historyFiles_.openHistory(historyName)) {
    msg::fatalSysError("PP history file %s", historyName.c_str());
    return false;
  }
  historyFileName_ = historyName;
  std::string aesaName = "pp-aesa-" + historyContext_ + ".txt";
  if (!historyFiles_.openAesa(aesaName)) {
    msg::fatalSysError("PP: AESA file %s", aesaName.c_str());
  }
  historyFiles_.setMask(HistoryFiles::bothSinks);
  pp_printf(historyFiles_, "%-48.48s;", "file");
  for (ItemBase* item : historyItems_) {
    if (item == &aesaBreak_) continue;
    pp_printf(historyFiles_, "%-*.*s;", item->width(), item->width(), item->name());
  }
  pp_printf(historyFiles_, "-\n");
  historyFiles_.flushHistory();
  return true;
}

void PostProcessState::emitHistoryLine() {
  if (!historyFiles_.historyOpen() && !openHistoryFiles()) return;
  historyFiles_.setMask(HistoryFiles::bothSinks);
  // Only the first changed column is reported; the line then commits the others as well.
  bool changed = std::any_of(historyItems_.begin(), historyItems_.end(),
                             [](ItemBase* item) { return item->reportChange(); });
  if (!changed && (level_ <= 0 || !periodicLineDue())) return;
  if (level_ > 0) {
    lastPeriodicTag_ = timeTag_.value();
    lastPeriodicTime_ = time1553_;
  }
  printHistoryLine();
}

bool PostProcessState::periodicLineDue() {
  uint32_t ticks = timeTag_.value() - lastPeriodicTag_;
  uint32_t busUnits = (time1553_ - lastPeriodicTime_) % 65536;  // 2-second units
  uint64_t level = static_cast<uint64_t>(level_);
  return ticks >= level * ticksPerSecond || 2ull * busUnits >= level;
}

void PostProcessState::printHistoryLine() {
  pp_printf(historyFiles_, "%-48.48s;", sourceText());
  for (ItemBase* item : historyItems_) {
    if (item == &aesaBreak_) {
      // The AESA file ends its cells here with the detail; the history file goes on alone.
      historyFiles_.setMask(HistoryFiles::aesaSink);
      printAesaDetail();
      txPending_ = 0;
      rxPending_ = 0;
      historyFiles_.setMask(HistoryFiles::historySink);
      continue;
    }
    item->printCell(historyFiles_);
    item->commit();
  }
  historyFiles_.setMask(HistoryFiles::bothSinks);
  pp_printf(historyFiles_, "0\n");
}

void PostProcessState::printAesaDetail() {
  if (txPending_ != 0) printCommandGroups();
  if (rxPending_ != 0) printResponses();
}

void PostProcessState::printCommandGroups() {
  const auto& commands = txState_.commands;
  pp_printf(historyFiles_, ">>>%3d;", static_cast<int>(txState_.count()));
  for (uint32_t i = 0; i < commandGroups; ++i) {
    if (i >= commands.size()) {
      pp_printf(historyFiles_, emptyCommandGroup, 0u, 0u, 0u, 0, "");
      continue;
    }
    const AesaCommand& c = commands[i];
    pp_printf(historyFiles_, messageCell, c.code, unsigned(c.flag), c.value, 0, c.name);
    if (c.hasBeam) printBeam(historyFiles_, c.beam);
    pp_printf(historyFiles_, ">;");
  }
}

void PostProcessState::printResponses() {
  const auto& responses = rxState_.responses;
  pp_printf(historyFiles_, "<<<%3d;", static_cast<int>(rxState_.count()));
  std::size_t shown = std::min<std::size_t>(responses.size(), responseGroups);
  for (std::size_t i = 0; i < shown; ++i) {
    const AesaResponse& r = responses[i];
    pp_printf(historyFiles_, messageCell, r.code, unsigned(r.flag), r.value, r.errorKind, r.name);
    if (r.hasStatus) {
      pp_printf(historyFiles_, "%2.2X;%2.2X;%2.2X;", r.status & 0xFF,
                (r.status >> 8) & 0xFF, (r.status >> 16) & 0xFF);
      pp_printf(historyFiles_, "%d;", static_cast<int>(static_cast<int8_t>(r.status >> 24)));
    }
  }
  pp_printf(historyFiles_, "<;");
}
