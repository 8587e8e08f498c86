#include "playback/playback.h"
