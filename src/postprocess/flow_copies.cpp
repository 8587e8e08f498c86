// The copies of completed flows that post-processing reads later.
#include "postprocess/flow_copies.h"

#include <algorithm>
#include <cstring>

void FlowCopies::takeSignalCopy(std::span<const uint8_t> signal) {
  // Bytes past signalCopyFilled_ read as 0 and are never touched: the buffer costs what the
  // longest copy took, not its capacity.
  if (!signalCopy_) signalCopy_ = std::make_unique_for_overwrite<uint8_t[]>(signalCopyCapacity);
  signalCopyLength_ = static_cast<uint32_t>(std::min<size_t>(signal.size(), signalCopyCapacity));
  if (signalCopyLength_ != 0) std::memcpy(signalCopy_.get(), signal.data(), signalCopyLength_);
  if (signalCopyLength_ > signalCopyFilled_) {
    // Whole words: the bytes that complete the last one are the zeros they always read as.
    uint32_t end = (signalCopyLength_ + 3) & ~3u;
    std::memset(signalCopy_.get() + signalCopyLength_, 0, end - signalCopyLength_);
    signalCopyFilled_ = end;
  }
}

void FlowCopies::capture(std::unique_ptr<uint8_t[]>& buffer, std::span<const uint8_t> cycle) {
  if (!buffer) buffer = std::make_unique<uint8_t[]>(captureSize);
  size_t length = std::min<size_t>(cycle.size(), captureSize);
  if (length != 0) std::memcpy(buffer.get(), cycle.data(), length);
  std::memset(buffer.get() + length, 0, captureSize - length);
}
