// libFuzzer target: one damaged record through the software-data decoder, with observers that
// read the way the post-processing handlers do (whole payloads, headers with extension records,
// in-place scans), so every read helper sees fuzzed positions and lengths. The bytes are decoded
// bare and once more as the data of a "SOFT" record.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "commandline/messages.h"
#include "format/format.h"
#include "soft/soft.h"

namespace {

struct FuzzObservers {
  SoftDecoder* decoder = nullptr;
  std::array<uint8_t, 4096> header{};
  std::array<uint8_t, 2048> payload{};
  unsigned seen = 0;

  int wholePayload(const BlockInfo& info) {
    decoder->readBlock(std::span<uint8_t>(payload), info);
    decoder->readBlock(nullptr, info, 16);
    return 0;
  }
  int fixedPrefix(const BlockInfo& info) {
    decoder->readBlock(std::span<uint8_t>(payload), info, 1832);
    return 0;
  }
  int extendedHeader(const BlockInfo& info) {
    decoder->readExtendedBlock(std::span<uint8_t>(header), info);
    return 0;
  }
  // The DSP header copy starts 44 bytes before the payload.
  int shiftedHeader(const BlockInfo& info) {
    BlockInfo shifted = info;
    shifted.position = info.position >= 44 ? info.position - 44 : 0;
    shifted.size = info.size + 44;
    decoder->readExtendedBlock(std::span<uint8_t>(header), shifted);
    return 0;
  }
  // Scans the payload in memory for recorded S-Block markers, as the signal checks do.
  int scanInPlace(const BlockInfo& info) {
    const uint8_t* data = decoder->blockPointer(info);
    if (data == nullptr) return 0;
    for (uint32_t p = 0; p + 60 <= info.size; ++p) {
      if (data[p] != 0x5A) continue;
      BlockInfo inner;
      decoder->blockInfoFromRaw(&inner, std::span<const uint8_t>(data + p, info.size - p));
      seen += inner.word10 & 1;
    }
    return 0;
  }
  // Reads past its block on purpose, like a handler with a fixed length.
  int overreach(const BlockInfo& info) {
    uint32_t length = info.size + 16 > payload.size() ? uint32_t(payload.size()) : info.size + 16;
    decoder->readBlock(std::span<uint8_t>(payload), info, length);
    return 0;
  }
  int extension(const XinfoRecord& record) {
    decoder->readBlock(std::span<uint8_t>(payload), record);
    return 0;
  }
};

void quietMessages() {
  static bool done = [] {
    msg::setSink([](FILE*, const std::string&) {});
    msg::set_threshold(0);  // format every message: the texts take bytes from the data
    install_logger(&cmdio_logger());
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quietMessages();
  SoftDecoder decoder;
  decoder.setPostProcessLevel(-1);
  FuzzObservers observers;
  observers.decoder = &decoder;
  decoder.registerBlockObserver("D1553", &observers, &FuzzObservers::fixedPrefix);
  decoder.registerBlockObserver("CDPSTS", &observers, &FuzzObservers::wholePayload);
  decoder.registerBlockObserver("SUM", &observers, &FuzzObservers::scanInPlace);
  decoder.registerBlockObserver("DSPHDRIN", &observers, &FuzzObservers::shiftedHeader);
  decoder.registerBlockObserver("DISPHEAD", &observers, &FuzzObservers::extendedHeader);
  decoder.registerBlockObserver("OVER", &observers, &FuzzObservers::overreach);
  decoder.registerXinfoObserver("EXT CMPC", &observers, &FuzzObservers::extension);
  decoder.registerXinfoObserver("EXT SARR", &observers, &FuzzObservers::extension);
  decoder.setBlockCallback([&](uint32_t, const char* name) { observers.seen += name[0] != 0; }, 0);

  // The first record of a run may be a bare stream; later ones may not: decode it twice.
  uint32_t length = uint32_t(size);
  decoder.decodeSoftRecord(0x53, "EIF", data, length);
  decoder.decodeSoftRecord(0x33, "DSP", data, length);
  // The same bytes as the data of a "SOFT" record, as the save step hands such a record over.
  std::vector<uint8_t> record(format::RecordHeader::size + size);
  format::RecordHeader::forRecord("SOFT", 0, length, 0x56, 1)
      .write(std::span<uint8_t, format::RecordHeader::size>(record.data(),
                                                            format::RecordHeader::size));
  if (size != 0) std::memcpy(record.data() + format::RecordHeader::size, data, size);
  decoder.decodeSoftRecord(0x56, "DFE", record.data(), uint32_t(record.size()));
  return 0;
}
