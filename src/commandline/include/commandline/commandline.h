// The command line and logging subsystem: the message module and the qualifier engine.
#pragma once

#include "commandline/cmdopt.h"
#include "commandline/messages.h"
