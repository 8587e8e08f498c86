// Derived products: the flight track.
#pragma once

#include <cstdint>

/// Adds a track point from a "D1553" software block (filled in with the flight track).
void track_point(const uint8_t* softBlock, int32_t trackMode);
/// Closes the track files.
void track_close();
