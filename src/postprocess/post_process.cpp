// The run's view of post-processing: one owner of the post-process state.
#include "postprocess/postprocess.h"

#include "post_process_state.h"

PostProcess::PostProcess(SoftDecoder& decoder, const std::string& lastSourceName,
                         platform::OutputFiles& outputs)
    : state_(std::make_unique<PostProcessState>(decoder, lastSourceName, outputs)) {}

PostProcess::~PostProcess() = default;

void PostProcess::setUp(int32_t level, bool fixSarHeaders) {
  state_->setUpPostProcess(level);
  if (fixSarHeaders) state_->setFixSarHeaders(true);
}

void PostProcess::decodeRecord(uint32_t sourceId, const char* sourceName,
                               std::span<uint8_t> record) {
  state_->decodeRecord(sourceId, sourceName, record);
}

FlowCopies& PostProcess::copies() { return state_->copies(); }

void PostProcess::report() { state_->reportPostProcess(); }
