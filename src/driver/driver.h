// The conversion driver: start-up, the source file sequence and the block scanner.
#pragma once

/// The program: start-up, command line, layout, run; answers the exit status.
int tarselMain(int argc, char** argv);
