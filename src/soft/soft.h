// The software-data decoder: walks saved records (chunks and S-Block streams) and tells
// the registered observers about every block.
#pragma once

#include <cstdint>

/// One conversion's decoder of software-recorded data.
class SoftDecoder {
 public:
  /// Decodes one saved record (record header included when present); nothing when the
  /// post-processing level is below -1.
  void decodeSoftRecord(uint32_t sourceId, const char* sourceName, const uint8_t* data,
                        uint32_t length);
  void setPostProcessLevel(int32_t level) { postProcessLevel_ = level; }
  int32_t postProcessLevel() const { return postProcessLevel_; }

 private:
  int32_t postProcessLevel_ = -2;
};
