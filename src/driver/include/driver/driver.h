// The conversion driver: start-up, the source file sequence and the block scanner.
#pragma once

#include <string>

/// The program: start-up, command line, layout, run; answers the exit status.
int tarselMain(int argc, char** argv);

/// Answers --help/-h, --version/-V and --print-layout anywhere on the command line before the
/// qualifier engine sees it: answers the exit status, or -1 when none of them was given.
int answerLinuxOptions(int argc, char** argv);

/// The built-in layout text in the form of a layout file, one item per line.
std::string layoutFileText(const char* builtIn);

/// The project's version, as `tarsel --version` shows it.
const char* projectVersion();
