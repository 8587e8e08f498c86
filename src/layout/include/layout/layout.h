// The flow table: which address ranges of the radar's memory form which flow,
// and the state each flow keeps while its cycles are reassembled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/lendable_bytes.h"

struct Flow;

/// The consumer of a flow's cycles. Every Flow embeds a default instance with this
/// no-op behaviour, which is why the interface lives beside Flow.
class IFlowObserver {
 public:
  virtual ~IFlowObserver() = default;
  /// The block at the start address of a half arrived; false drops the cycle.
  virtual bool onFlowStart(Flow&) { return true; }
  /// A complete cycle is in the flow's data.
  virtual void onFlowComplete(Flow&) {}
  /// End of the run with a cycle pending; by default handled as a complete one.
  virtual void onFlowFlush(Flow& flow) { onFlowComplete(flow); }
  /// A block index arrived twice within a cycle; false drops the cycle.
  virtual bool onDuplicateBlock(Flow&, int /*reason*/) { return true; }
  virtual bool onEvent(Flow&, int, int) { return true; }
};

/// Word offsets of the configurable DSP header fields.
struct HeaderOffsets {
  uint32_t rowsAt = 26;
  uint32_t colsAt = 27;
  uint32_t batchAt = 24;
  uint32_t tagAt = 25;
  uint32_t timestampAt = 0;
};

constexpr uint32_t flowBlockSize = 256;     // payload of one recorder block
constexpr uint32_t flowHeadroom = 1024;     // room for the record header before data
constexpr uint8_t flowFillByte = 0xCA;      // what blocks that never arrived read as

/// Zeroed block counters from the system's zeroing allocator (calloc): a big flow's counters
/// cost no loop over every block, and mapped zero pages where the allocator maps them.
class BlockCounts {
 public:
  /// `count` counters reading 0 (earlier ones dropped); throws std::bad_alloc when memory runs out.
  void assign(std::size_t count);
  void clear() { counts_.reset(); size_ = 0; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint32_t& operator[](std::size_t i) { return counts_.get()[i]; }
  uint32_t operator[](std::size_t i) const { return counts_.get()[i]; }
  const uint32_t* begin() const { return counts_.get(); }
  const uint32_t* end() const { return counts_.get() + size_; }

 private:
  struct Free {
    void operator()(uint32_t* counts) const { std::free(counts); }
  };
  std::unique_ptr<uint32_t, Free> counts_;
  std::size_t size_ = 0;
};

/// One flow of one recording source.
struct Flow {
  int32_t firmware = 1;          // 0 for software-recorded data ("SW")
  const char* name = nullptr;    // points into the layout text
  uint32_t base = 0;
  uint32_t pingpong = 0;
  uint32_t startA = 0;
  uint32_t startB = 0;
  uint32_t sourceId = 0;         // 0 until the first block binds it
  uint32_t sourceTag = 0;
  uint32_t size = 0;             // bytes per half
  uint32_t cycles = 0;
  uint32_t blockSize = flowBlockSize;
  uint32_t cols = 0;
  uint32_t rows = 0;
  uint32_t side = 0;
  uint32_t endA = 0;
  uint32_t endB = 0;
  uint32_t maxBlock = 0;
  uint32_t expectedBlocks = 0;
  uint32_t arrivedBlocks = 0;
  uint32_t storedBlocks = 0;
  BlockCounts blockCounts;             // indexed 0..maxBlock; empty until allocated
  std::vector<uint32_t> touched;       // block indexes stored since the last reset, each once
  /// size + 2048 bytes, mapped with the first block; data is storage + 1024 (null until then).
  /// A cycle's storage may be lent to the destination's writer (lendStorage); the flow then
  /// goes on in another one from `spareStorage`, and takes it back once the writer is done.
  std::shared_ptr<platform::LendableBytes> storage;
  std::vector<std::shared_ptr<platform::LendableBytes>> spareStorage;
  bool storageLent = false;            // the cycle's storage is lent: the reset changes it
  static constexpr std::size_t maxSpareStorage = 8;
  static constexpr std::size_t spareBudget = std::size_t{4} << 20;  // bytes of their cycles
  uint8_t* data = nullptr;
  uint32_t capacity = 0;
  uint32_t extent = 0;
  uint32_t maxExtent = 0;
  int32_t idle = 1;
  int32_t started = 0;
  uint64_t firstBlockPos = 0;          // file positions of the cycle's first and latest block
  uint64_t lastBlockPos = 0;
  IFlowObserver* observer = nullptr;
  IFlowObserver defaultObserver;
  /// Bytes from the start of data that an observer wrote since the last reset (the blocks the
  /// scanner stored are listed in `touched`); reset refills both.
  uint32_t dirty = 0;
  /// Bytes from the start of data (at most capacity) that hold what readers see; the rest of
  /// the capacity has never been touched and is filled with 0xCA when something first reaches
  /// it, so a big flow costs only the part a recording uses (large allocations are mapped
  /// pages that cost nothing until written). A store next to the filled bytes fills up to its
  /// block; a store far beyond them (more than farFill bytes) leaves the gap for the first
  /// reader, so a stray block deep in a big flow costs its block, not the storage below it.
  /// consumer() fills up to the extent before an observer reads; a reader of bytes beyond the
  /// extent calls fillTo first.
  mutable uint32_t filled = 0;
  /// Blocks stored this cycle past `filled` lie in [farFrom, farEnd) (empty when equal); the
  /// fill steps over them.
  mutable uint32_t farFrom = 0;
  mutable uint32_t farEnd = 0;
  static constexpr uint32_t farFill = 0x10000;

 private:
  bool storedEverythingFilled() const;
  void takeFreeStorage();

 public:

  /// Sets the derived ranges for `size`; storage and counters come with the first block.
  void build();
  /// Allocates storage and counters when they are not there yet; throws std::bad_alloc when
  /// memory runs out. The capacity reads as 0xCA (through fillTo), the 1024 bytes before and
  /// after it as 0.
  void allocate();
  /// Makes the first `end` bytes of data (at most capacity) read as they should: bytes never
  /// filled yet become 0xCA, blocks stored this cycle keep their data. Costs only bytes not
  /// filled before. Answers data.
  uint8_t* fillTo(std::size_t end) const;
  /// The bytes `allocate` takes for storage.
  std::size_t storageBytes() const { return std::size_t{size} + 2 * std::size_t{flowHeadroom}; }
  /// Stores one block at `index` (at most maxBlock) of an allocated flow.
  void store(uint32_t index, const uint8_t* block);
  /// The storage, for the destination's writer to hold until it has written the cycle's record
  /// from it; the reset then goes on in a storage the writer does not hold. Null (nothing
  /// lent) when every spare is held and no more may be made, or memory runs out.
  std::shared_ptr<platform::LendableBytes> lendStorage();
  /// Distinct blocks of the pending cycle below its extent.
  uint32_t distinctBlocks() const;
  /// Back to an empty cycle: counters 0, data reading as 0xCA, idle 1; side is kept.
  /// Costs at most what the cycle stored, not the flow's size; nothing when the cycle's blocks
  /// covered every filled byte (they are then overwritten or filled as the next cycle goes).
  void reset();
  /// The observer to call: `observer`, or the embedded default; the cycle's bytes (up to the
  /// extent) read as they should first.
  IFlowObserver& consumer() {
    if (extent > filled) fillTo(extent);
    return observer ? *observer : defaultObserver;
  }
};

/// The ordered flow table (layout order, per-source clones appended).
using FlowTable = std::vector<std::unique_ptr<Flow>>;

/// Where loading a layout binds observers and writes header offsets.
struct LayoutTargets {
  IFlowObserver* headerObserver = nullptr;  // observer of format-"H" flows (may be null)
  IFlowObserver* flowObserver = nullptr;    // observer of every other flow
  HeaderOffsets* headerOffsets = nullptr;   // the current header observer's offsets
  HeaderOffsets* softOffsets = nullptr;     // the software header observer's offsets
};

/// Parses the layout text in place and fills the table; answers null on success or the
/// error text ("Parsing Error", "flows object not found", or a missing-key text).
/// `text` must be writable and stay allocated for the whole run (flow names point into it).
const char* loadFlowTable(char* text, FlowTable& table, const LayoutTargets& targets);

/// The built-in layout text, one line.
const char* defaultLayoutText();
