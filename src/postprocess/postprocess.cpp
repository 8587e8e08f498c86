#include "postprocess/postprocess.h"

#include "commandline/messages.h"

void analyzeAesaTiming(const uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*) {}
