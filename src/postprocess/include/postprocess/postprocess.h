// Session post-processing as the run and the observers see it: the history tables and files,
// the block statistics and the signal block checks behind one object; the flow copies the
// observers fill; the AESA timing and beam analysis.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/output_files.h"
#include "postprocess/aesa_timing.h"
#include "postprocess/flow_copies.h"

class PostProcessState;
class SoftDecoder;

/// Everything /postprocess follows during one conversion.
class PostProcess {
 public:
  /// `lastSourceName` names the last source file where the message context was already cleared;
  /// the decoder, the name and the outputs must outlive this object.
  PostProcess(SoftDecoder& decoder, const std::string& lastSourceName,
              platform::OutputFiles& outputs);
  PostProcess(const PostProcess&) = delete;
  PostProcess& operator=(const PostProcess&) = delete;
  /// Closes the history files.
  ~PostProcess();

  /// Registers the handlers with the decoder at `level` (-2: off) and switches the SAR header
  /// fix of the "DSPHDRIN" copies (/fixhr). Call once, before the first record.
  void setUp(int32_t level, bool fixSarHeaders);
  /// Decodes one saved record, handed over writable on purpose: the SAR fix is written into it.
  void decodeRecord(uint32_t sourceId, const char* sourceName, std::span<uint8_t> record);
  /// The flow copies the signal checks and the timing analysis read.
  FlowCopies& copies();
  /// Writes the block counts (I) and the corrupted signal block count (E).
  void report();

 private:
  std::unique_ptr<PostProcessState> state_;
};
