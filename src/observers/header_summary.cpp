// "header_in.txt": one semicolon-separated line per firmware DSP header, for spreadsheets.
#include <cstring>

#include "flow_bytes.h"
#include "header_summary.h"

using namespace observers_detail;

namespace {
constexpr double millisecondsPerTick = 0.064;
constexpr uint32_t sttMode = 15;
}  // namespace

HeaderSummaryValues HeaderSummaryFile::writeHeaderSummary(const uint8_t* data, size_t length) {
  const std::span<const uint8_t> bytes = bytesOf(data, length);
  auto w = [&](uint32_t n) { return format::u32At(bytes, uint64_t(n) * 4); };
  auto f32 = [&](uint32_t n) { return format::f32At(bytes, uint64_t(n) * 4); };
  auto f = [&](uint32_t n) { return double(f32(n)); };
  HeaderSummaryValues values;
  values.timeTag = w(25);
  values.antennaTag = w(112);
  for (int i = 0; i < 6; ++i) values.antennaValues[i] = f32(113u + i);
  values.secondTag = w(228);
  values.secondValues[0] = f32(235);
  values.secondValues[1] = f32(236);

  if (!file_) {
    // The first header only opens the file; a failed creation is tried again next time.
    file_ = outputs_.open(path_, "w");
  } else {
    int32_t tag = int32_t(w(25));
    int32_t sincePrevious = int32_t(w(25) - previous_[25 - firstKeptWord]);
    int32_t antennaTag = int32_t(w(112));
    int32_t secondTag = int32_t(w(228));
    std::fprintf(file_.get(), "%u;%s;%d;%d;%f;%.3f;%d;%d;%d;ANT;%d;%f;%f;%f;%f;%f;PE;%d;%f;%f;%f\n", w(24),
                 w(34) == sttMode ? "STT" : "SRC", int32_t(w(33)), tag, tag * millisecondsPerTick,
                 sincePrevious * millisecondsPerTick, 0, 0, 0, antennaTag, antennaTag * millisecondsPerTick,
                 f(113), f(114), f(121), f(122), secondTag, secondTag * millisecondsPerTick, f(235), f(236));
    file_.check();
  }
  for (uint32_t i = 0; i < keptWords; ++i) previous_[i] = w(firstKeptWord + i);
  latest_ = values;
  return values;
}
