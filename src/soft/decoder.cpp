#include "soft/soft.h"

void SoftDecoder::decodeSoftRecord(uint32_t, const char*, const uint8_t*, uint32_t) {}
