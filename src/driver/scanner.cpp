#include "scanner.h"

#include "progress.h"
#include "run_report.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "commandline/messages.h"
#include "platform/platform.h"
#include "format/format.h"
#include "observers/observers.h"
#include "observers/output_writer.h"
#include "postprocess/postprocess.h"
#include "products/products.h"
#include "video/video.h"

namespace {

unsigned long long asHex(uint64_t v) { return static_cast<unsigned long long>(v); }

}  // namespace

BlockScanner::BlockScanner(const RunSettings& settings, FlowTable& table, Observers& observers,
                           SourceSequence& sources, PostProcess& postProcess,
                           std::atomic<bool>& stopRequested, RunReport& report,
                           platform::OutputFiles& outputs, ProgressLine* progress)
    : settings_(settings),
      table_(table),
      observers_(observers),
      sources_(sources),
      stopRequested_(stopRequested),
      postProcess_(postProcess),
      report_(report),
      outputs_(outputs),
      progress_(progress),
      contextNumber_(msg::context_number_slot()) {}

int BlockScanner::runConversion() {
  try {
    index_.rebuild(table_);
    while (scanOne() == Step::next)
      if (progress_) progress_->tick();
  } catch (const std::bad_alloc&) {
    outOfMemory("conversion of the block at 0x%llX", asHex(blockPos_));
  }
  if (progress_) progress_->finish();
  try {
    endOfRun();
  } catch (const std::bad_alloc&) {
    outOfMemory("end of run");
  }
  return observers_.output.failed() || outputs_.anyFailed() ? 1 : 0;
}

// The destination keeps the whole records written so far: it is closed before the F message
// ends the program; when F messages are hidden the scan ends and the end of run follows.
void BlockScanner::outOfMemory(const char* format, ...) {
  memoryExhausted_ = true;
  observers_.output.close();
  char what[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(what, sizeof what, format, args);
  va_end(args);
  msg::fatal("out of memory: %s", what);
}

// Every read sets the block position first, so messages name where the read began; a read
// that the end of a file cuts short continues in the next file of the sequence.
// The next n bytes where they lie in the read buffer, or put together in `spare` where they
// straddle its end or continue in the next file; null when the sources end.
const uint8_t* BlockScanner::readWithContinuation(uint8_t* spare, uint32_t n) {
  SourceFile& file = sources_.file();
  blockPos_ = file.position();
  contextNumber_ = static_cast<long long>(blockPos_);
  if (blockPos_ > file.size()) {
    msg::error("pos beyond EOF (%lu)", static_cast<unsigned long>(file.size()));
    return nullptr;
  }
  if (const uint8_t* inPlace = file.view(n)) return inPlace;
  size_t k = file.read(spare, n);
  if (k == n) return spare;
  if (!sources_.endSource()) return nullptr;
  blockPos_ = 0;
  if (sources_.file().read(spare + k, n - k) < n - k) return nullptr;
  msg::detail2("partial read %u=%u+%u", n, static_cast<unsigned>(k), static_cast<unsigned>(n - k));
  return spare;
}

bool BlockScanner::readInto(uint8_t* buffer, uint32_t n) {
  const uint8_t* bytes = readWithContinuation(buffer, n);
  if (bytes && bytes != buffer) std::memcpy(buffer, bytes, n);
  return bytes != nullptr;
}

BlockScanner::Step BlockScanner::scanOne() {
  if (!sources_.isOpen() || memoryExhausted_ || observers_.output.failed()) return Step::stop;
  const uint8_t* blockHeader = readWithContinuation(header_, blockHeaderSize);
  if (!blockHeader) return Step::stop;
  if (stopRequested_.load()) return Step::stop;
  HeaderCounters* header = &observers_.headerCounters();
  bool marked = std::memcmp(blockHeader + 10, blockMarker, sizeof blockMarker) == 0;
  if (settings_.fastDateFix) {
    // Each file is read only until its first header time is known.
    if (header->firstSecs != 0) {
      msg::info("skip to next");
      if (!sources_.endSource()) return Step::stop;
      header->firstSecs = header->lastSecs = 0;
      header->firstHeader = true;
      return Step::next;
    }
    if (!marked) return Step::next;
  } else if (!marked) {
    if (blockHeader != header_) std::memcpy(header_, blockHeader, blockHeaderSize);
    Step step = onBadHeader();
    if (step == Step::stop) return Step::stop;
    if (step == Step::next)
      return header->headerCount >= settings_.maxBatches ? Step::stop : Step::next;
    // Resynchronised: header_ holds the header found ahead.
    blockHeader = header_;
  }
  if (searching_) msg::summaryLine("First block found");
  // The header's fields are taken before reading on may move the read buffer.
  uint32_t address = format::u32At(std::span<const uint8_t>(blockHeader, blockHeaderSize), 0);
  uint8_t sourceTag = blockHeader[8], sourceId = blockHeader[9];
  const uint8_t* block = readWithContinuation(block_, blockDataSize);
  if (!block) return Step::stop;
  dispatch(address, sourceTag, sourceId, block);
  return header->headerCount >= settings_.maxBatches ? Step::stop : Step::next;
}

// Before the first block, stray bytes are skipped forward 16 at a time. Later, a bad header
// means a truncated block swallowed the start of this one: walk back 16 bytes at a time to find it.
BlockScanner::Step BlockScanner::onBadHeader() {
  if (searching_) {
    if (!leadingWarned_) {
      msg::info("leading incomplete block");
      leadingWarned_ = true;
    } else {
      msg::detail1("leading incomplete block");
    }
    return Step::next;
  }
  if (settings_.stopOnDamage) {
    msg::warning("Incomplete block (0x%llX)", asHex(blockPos_));
    return Step::stop;
  }
  if (retries_ > 13) {
    msg::error("broken recording?");
    return resynchronise();
  }
  if (retries_ == 0) {
    firstBadPos_ = blockPos_;
    report_.badHeaderSeries(sources_.currentBase(), blockPos_);
    msg::warning("Incomplete block (0x%llX)", asHex(blockPos_));
  }
  if (blockPos_ <= 16 && retries_ > 0) {
    // The walk back reached the start of the file with nothing found: like a walk that ran
    // out of steps, search forward instead of giving up the rest of the recording.
    msg::error("broken recording?");
    return resynchronise();
  }
  if (blockPos_ <= 16) {
    // The program ends at once, but the cycles already written stay: whole records, flushed.
    observers_.output.close();
    msg::fatal("back retry error");
    return Step::stop;
  }
  blockPos_ -= 16;
  sources_.file().seek(blockPos_);
  msg::set_context_number(static_cast<long long>(blockPos_));
  msg::warning("Back retry: 0x%llX (-0x%X)...", asHex(blockPos_), 16u);
  retries_++;
  return Step::next;
}

// The walk back found nothing: search forward, from one byte after the first bad header of
// the series, for the next 16 bytes that end in the block marker, on into the following files.
BlockScanner::Step BlockScanner::resynchronise() {
  constexpr size_t markerAt = blockHeaderSize - sizeof blockMarker;
  uint64_t from = firstBadPos_ + 1;
  // File position 0 of the current file counted from the first bad header (modulo 2^64, so
  // that adding a position in the current file gives the bytes passed over).
  uint64_t fileOrigin = 0 - firstBadPos_;
  uint8_t tail[blockHeaderSize] = {};
  size_t tailLength = 0;
  uint64_t tailStart = 0, previousOrigin = 0;
  for (;;) {
    SourceFile& file = sources_.file();
    uint64_t found = SourceFile::notFound;
    if (tailLength != 0 && headerStraddles(tail, tailLength, tailStart, found)) {
      // header_ holds it; the data block follows in the current file.
      msg::set_context_number(static_cast<long long>(found));
      msg::warning("resynchronised at 0x%llX, %llu bytes skipped", asHex(found),
                   asHex(previousOrigin + found));
      report_.resynchronised(sources_.currentBase(), found, previousOrigin + found);
      blockPos_ = found;
      retries_ = 0;
      return Step::resynchronised;
    }
    // A long damaged stretch is searched buffer by buffer; Ctrl+C and the stop signals end
    // it like the read loop.
    uint64_t marker = file.find(blockMarker, sizeof blockMarker, from + markerAt, &stopRequested_);
    if (marker != SourceFile::notFound) {
      found = marker - markerAt;
      file.seek(found);
      if (!readInto(header_, blockHeaderSize)) return Step::stop;
      msg::warning("resynchronised at 0x%llX, %llu bytes skipped", asHex(found),
                   asHex(fileOrigin + found));
      report_.resynchronised(sources_.currentBase(), found, fileOrigin + found);
      retries_ = 0;
      return Step::resynchronised;
    }
    if (stopRequested_.load()) return Step::stop;
    // Not in this file: a header may still begin in its last 15 bytes and end in the next.
    uint64_t size = file.size();
    tailStart = std::max(from, size >= blockHeaderSize - 1 ? size - (blockHeaderSize - 1) : 0);
    tailLength = 0;
    if (tailStart < size) {
      file.seek(tailStart);
      tailLength = file.read(tail, size_t(size - tailStart));
    }
    previousOrigin = fileOrigin;
    fileOrigin += size;
    if (!sources_.endSource()) return Step::stop;
    from = 0;
  }
}

// Whether a header begins in `tail` (the last bytes of the previous file, from `tailStart`)
// and ends at the start of the current file; if so it is read into header_ and `found` is its
// position in the previous file.
bool BlockScanner::headerStraddles(const uint8_t* tail, size_t tailLength, uint64_t tailStart,
                                 uint64_t& found) {
  uint8_t joined[2 * blockHeaderSize] = {};
  std::memcpy(joined, tail, tailLength);
  SourceFile& file = sources_.file();
  size_t head = file.read(joined + tailLength, blockHeaderSize - 1);
  for (size_t at = 0; at < tailLength; ++at) {
    if (at + blockHeaderSize > tailLength + head) break;
    if (std::memcmp(joined + at + 10, blockMarker, sizeof blockMarker) != 0) continue;
    std::memcpy(header_, joined + at, blockHeaderSize);
    file.seek(at + blockHeaderSize - tailLength);
    found = tailStart + at;
    return true;
  }
  file.seek(0);
  return false;
}

// Each clone has storage of the flow's full size; damaged source bytes could otherwise clone
// every flow for each of 255 sources (gigabytes). Blocks of further sources count as unrecognised.
bool BlockScanner::canClone(const Flow& templateFlow) const {
  auto sameFlow = [&](const std::unique_ptr<Flow>& f) {
    return f->name == templateFlow.name && f->base == templateFlow.base;
  };
  return size_t(std::count_if(table_.begin(), table_.end(), sameFlow)) < maxFlowSources;
}

Flow* BlockScanner::cloneFlow(const Flow& templateFlow, uint32_t sourceId, uint32_t address) {
  auto clone = std::make_unique<Flow>();
  clone->firmware = templateFlow.firmware;
  clone->name = templateFlow.name;
  clone->base = templateFlow.base;
  clone->pingpong = templateFlow.pingpong;
  clone->size = templateFlow.size;
  clone->observer = templateFlow.observer;
  clone->sourceId = sourceId;
  clone->build();
  msg::info("Flow: %s@%u b=0x%X a=0x%X", clone->name, sourceId, clone->base, address);
  table_.push_back(std::move(clone));
  index_.add(*table_.back());
  return table_.back().get();
}

void BlockScanner::dispatch(uint32_t address, uint8_t sourceTag, uint8_t sourceId,
                            const uint8_t* block) {
  FlowMatch match = index_.find(address, sourceId);
  Flow* flow = match.flow;
  if (!flow && match.templateFlow && canClone(*match.templateFlow))
    flow = cloneFlow(*match.templateFlow, sourceId, address);
  if (!flow) {
    auto [entry, isNew] = unrecognizedAddresses_.try_emplace(address, 0);
    entry->second++;
    if (isNew)
      msg::warning("????%u @%llX: 0x%X", blockCounter_, asHex(blockPos_), address);
    blockCounter_++;
    searching_ = false;
    retries_ = 0;
    return;
  }
  Flow& f = *flow;
  blockCounter_++;
  bool halfA = address >= f.startA && address < f.endA;  // half A wins where halves overlap
  uint32_t side = halfA ? 0 : 1;
  uint32_t halfStart = halfA ? f.startA : f.startB;
  uint32_t index = (address - halfStart) / blockDataSize;
  if (index > f.maxBlock) {
    searching_ = false;
    retries_ = 0;
    return;
  }
  if ((address == halfStart || side != f.side) && f.storedBlocks != 0) closeCycle(f);
  if (!f.data && !allocateFlow(f)) return;
  // The tag is taken after the previous cycle went out, so each record carries its own tag.
  f.sourceTag = sourceTag;
  f.side = side;
  bool keep = true;
  if (f.blockCounts[index] != 0) {
    msg::warning("%s: duplicated: %u", f.name, index);
    report_.duplicatedBlock(f.name, f.sourceId);
    keep = f.consumer().onDuplicateBlock(f, 2);
  }
  f.store(index, block);
  if (address == halfStart) {
    f.firstBlockPos = blockPos_;
    keep = f.consumer().onFlowStart(f);
  } else {
    f.lastBlockPos = blockPos_;
  }
  searching_ = false;
  retries_ = 0;
  if (!keep) f.reset();
}

// Storage comes with a flow's first block. Without memory the run cannot go on: the
// destination is closed with the records it holds, then the failure is reported.
bool BlockScanner::allocateFlow(Flow& f) {
  try {
    f.allocate();
    return true;
  } catch (const std::bad_alloc&) {
    outOfMemory("flow storage of %s (%llu bytes)", f.name, asHex(f.storageBytes()));
    return false;
  }
}

// The pending cycle is judged when the next one begins: complete only if every block up to
// the highest one seen arrived.
void BlockScanner::closeCycle(Flow& f) {
  uint32_t expected = f.extent / blockDataSize;
  if (expected == 0) {
    f.arrivedBlocks = 0;
    f.consumer().onFlowComplete(f);
  } else {
    uint32_t arrived = f.distinctBlocks();
    f.arrivedBlocks = arrived;
    if (arrived == expected)
      f.consumer().onFlowComplete(f);
    else
    {
      msg::error("%s: partial flow disregarded, arrived=%u, expected=%u", f.name, arrived, expected);
      report_.partialCycle(f.name, f.sourceId);
    }
  }
  f.reset();
}

void BlockScanner::endOfRun() {
  msg::set_context(nullptr);
  for (size_t i = 0; i < table_.size(); ++i) {
    Flow& f = *table_[i];
    if (f.extent != 0 && f.idle == 0) {
      report_.cycleFlushed(f.name, f.sourceId);
      f.consumer().onFlowFlush(f);
    }
  }
  // Measured after the flush, so the figure counts every record written.
  uint64_t outputSize = observers_.output.outputPosition();
  for (const auto& flow : table_) {
    const Flow& f = *flow;
    if (f.cycles != 0)
      msg::summaryLine("%s@%0X: %d (0x%X*0x%X +0x%X)", f.name, f.sourceId,
                       static_cast<int>(f.cycles), f.base, f.maxExtent, f.pingpong);
    else
      msg::detail2("%s@%0X: %d", f.name, f.sourceId, 0);
  }
  if (!unrecognizedAddresses_.empty()) {
    msg::warning("Unrecognized flow: %u", static_cast<unsigned>(unrecognizedAddresses_.size()));
    for (const auto& [address, count] : unrecognizedAddresses_)
      msg::warning("  @%0X: %u", address, count);
  }
  postProcess_.report();
  printStatistics(outputSize);
  recordTotals(outputSize);
  observers_.display.display_finish();
  observers_.flightTrack.trackClose();
  // Every file takes its final name now; a failed write or close is reported before the
  // message counts.
  observers_.output.close();
  outputs_.closeAll();
  msg::summary(nullptr, 0);
  unrecognizedAddresses_.clear();
}

void BlockScanner::recordTotals(uint64_t outputSize) {
  for (const auto& flow : table_)
    if (flow->cycles != 0) report_.setCyclesSaved(flow->name, flow->sourceId, flow->cycles);
  report_.setUnrecognizedAddresses(unrecognizedAddresses_.size());
  const HeaderCounters& h = observers_.headerCounters();
  report_.setRanges(h.firstBatch, h.lastBatch, h.firstSecs, h.lastSecs);
  report_.setDestinationBytes(outputSize);
  if (stopRequested_.load()) {
    report_.setStopSignal(platform::stopSignal());
    report_.setStop(RunReport::Stop::interrupt);  // a stop asked for without a signal
  }
  if (observers_.output.failed()) report_.setStop(RunReport::Stop::writeError);
}

void BlockScanner::printStatistics(uint64_t outputSize) {
  const HeaderCounters* h = &observers_.headerCounters();
  double in = static_cast<double>(sources_.inputTotal()) / 1048576.0;
  double out = static_cast<double>(outputSize) / 1048576.0;
  uint32_t duration = h->lastSecs - h->firstSecs;
  if (duration == 0) duration = 1;
  float rate = static_cast<float>(in) / static_cast<float>(duration);
  msg::summaryLine("processed %.fMib -> %.3fMib, %.3f Mib/sec", in, out, rate);
  auto hms = [](uint32_t s) { return std::array<unsigned, 3>{s / 3600, (s % 3600) / 60, s % 60}; };
  auto first = hms(h->firstSecs), last = hms(h->lastSecs);
  msg::summaryLine("  timestamp:  %u:%02u:%02u..%u:%02u:%02u=%lusec", first[0], first[1], first[2],
                   last[0], last[1], last[2], static_cast<unsigned long>(duration));
  uint32_t ticks = h->lastTag - h->firstTag;
  msg::summaryLine("  timetag  :  %lu..%lu=%lu = %.3fsec", static_cast<unsigned long>(h->firstTag),
                   static_cast<unsigned long>(h->lastTag), static_cast<unsigned long>(ticks),
                   ticks * 0.000064);
  msg::summaryLine("  batches  :  %lu..%lu=%lu", static_cast<unsigned long>(h->firstBatch),
                   static_cast<unsigned long>(h->lastBatch),
                   static_cast<unsigned long>(h->lastBatch - h->firstBatch));
}
