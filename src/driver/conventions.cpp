// The options Linux users try first, answered before the qualifier engine sees the command line:
// --help and -h, --version and -V, --print-layout. Everything else goes to the engine unchanged.
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/driver.h"
#include "layout/layout.h"

#ifndef TARSEL_VERSION
#define TARSEL_VERSION "?"
#endif

namespace {

constexpr const char help[] =
    "Usage: tarsel RECORDING [/QUALIFIER[=VALUE]]... [//ENGINE-QUALIFIER]...\n"
    "       tarsel --help | --version | --print-layout\n"
    "\n"
    "tarsel converts recordings of the REZU data recorder (272-byte recorder blocks, in one file\n"
    "or a numbered sequence of files) into one destination file, <recording>-cv.out: every\n"
    "complete cycle of every flow (DSP headers, signal, software data, video, links, AESA,\n"
    "timers) as a record with a 32-byte record header. On request it writes products beside it.\n"
    "\n"
    "Qualifiers: /name or its key (the first key that starts the typed text wins), a value after\n"
    "\"=\" or as the next argument; [=N] marks a value taken only when written with \"=\". Numbers\n"
    "may be decimal, 0x hexadecimal or 0 octal. NEG: may be switched off with /!key or /-key.\n"
    "\n"
    "  key     name            value        default     what it does\n"
    "  /nosign /nosignal       -            off         don't save signal (DSP source flows)\n"
    "  /n      /concatenate    [=N]         off         convert the numbered sequence; without a\n"
    "                                                   value up to 100000 files, else N files\n"
    "  /hfw    /firmwareheader -            off         use FW header instead of Software;\n"
    "                                                   also writes header_in.txt\n"
    "  /$pbug  /posbug         -            off         fix DSP header geopos bug\n"
    "  /p      /postprocess    [=LEVEL]     off (-2)    post process session history (level 0\n"
    "                                                   without a value)\n"
    "  /h      /hsynch         -            off         SYnch signal flows with header\n"
    "  /sw     /onlysw         -            off         extract only SW data (NEG, repeatable)\n"
    "  /dsp    /onlydsp        [=N]         off         extract only DSP data; software flows of\n"
    "                                                   the DSP are written as bare records\n"
    "                                                   (NEG, repeatable)\n"
    "  /ss     /stop           -            off         stop on discontinuity\n"
    "  /o      /outfile        =FILE        <recording>-cv.out  output file\n"
    "  /dryrun /dryrun         -            off         dryrun (accepted, no effect)\n"
    "  /j      /json           [=FILE]      tarsel_cfg.json if readable, else built in\n"
    "                                                   json configuration file (the layout);\n"
    "                                                   /j alone: the built-in layout\n"
    "  /l      /log            [=FILE]      none        log file (accepted, not written)\n"
    "  /f      /format         =b|h|c       b           output format (accepted, no effect)\n"
    "  /m      /max            =N           1000000     Maximum number of batches\n"
    "  /r      /rows           =N           from headers  PRI number\n"
    "  /c      /cols           =N           from headers  RBIN number\n"
    "  /zero   /zero           =N           off         check signal zeros: N<0 trailing zeros\n"
    "                                                   longer than -N, N>0 runs of N zeros\n"
    "  /z      /fromstby       -            off         start save from stby\n"
    "  /a      /analyze        -            off         Analyze only (no destination file)\n"
    "  /d      /fixdate        -            off         Fix REZU file date from name and headers\n"
    "  /x      /examine        =BITS        0           examine some data: 1 AESA timing and\n"
    "                                                   beam analysis, 4 EXTLINK \"F\" values\n"
    "  /vout   /videoout       [=N]         off         out video to rec results (every Nth\n"
    "                                                   frame; NEG, repeatable)\n"
    "  /vshow  /videoshow      [=MS]        off         show video (MS: delay per frame;\n"
    "                                                   NEG, repeatable)\n"
    "  /vsave  /videosave      -            off         save video (with /vshow)\n"
    "  /vframe /videoframe     =N           -1          fix frame rate\n"
    "  /gps    /gps            [=MODE]      off         save gps track (mode 1 without a value)\n"
    "  /fixhr  /fixhr          -            off         fix HR debug data (not reachable: /f\n"
    "                                                   matches first and rejects \"ixhr\")\n"
    "  /sar    /sar            -            off         save only SAR\n"
    "  /vst    /videosubtitle  -            off         Add AVi subtitles (accepted, no effect)\n"
    "  /b      /bstart         =N           0           start batch to save\n"
    "  /report /report         =FILE        none        write a JSON run report (docs/run-report.md)\n"
    "\n"
    "Engine qualifiers (after \"//\"): //v more messages, //q fewer, //d debug messages,\n"
    "//? help, //h full help, //V version banner, //w and //e mask warnings or errors in the\n"
    "result code, //i ask before overwriting (//ii full interaction), //b=DIR change directory,\n"
    "//r messages to standard output, //o overwrite output files silently.\n"
    "\n"
    "Files written (names from the recording or from /o):\n"
    "  <recording>-cv.out           the destination: one record per saved cycle\n"
    "                               (tarsel-records and python/tarsel_records.py read it)\n"
    "  /postprocess: pp-<recording>.txt, pp-aesa-<recording>.txt  session history, AESA detail\n"
    "  /gps:         track-<destination>.txt, track-<destination>.gpx  flight track, GPX 1.1\n"
    "  /examine=1:   timer-<destination>.txt, ant_pos-<destination>.txt  AESA timing, beams\n"
    "  /hfw:         header_in.txt  the firmware DSP headers, one line each\n"
    "  /vshow /vsave: vcapture_<destination>.avi  the radar display as video\n"
    "\n"
    "Examples:\n"
    "  tarsel _19-05-17-10-30-00_3.rec /concatenate      the whole sequence from file 3\n"
    "  tarsel rec.dat /analyze //v                       look only, more detail\n"
    "  tarsel rec.dat /postprocess /gps /examine=1       with the session history, track, AESA\n"
    "  tarsel rec.dat /json=layout.json /o=out.bin       own layout file, own destination\n"
    "  tarsel --print-layout > layout.json               the built-in layout, to edit\n"
    "\n"
    "Other options: -h, --help this help; -V, --version the version; --print-layout the\n"
    "built-in layout as a layout file for /json=. NO_COLOR in the environment turns message\n"
    "colours off. The names tarseldfe and tarseldsp preset the qualifiers for DFE and DSP\n"
    "playback. Exit status: 0 after a run, 1 after an F message or a bad command line.\n"
    "On a terminal a status line shows the file, MiB read of the total, percent, MiB/s and\n"
    "time left while the recording is read (not with //q, never in a pipe or a file).\n";

}  // namespace

// The built-in text is one line whose runs of blanks stand for the line breaks of the file form.
std::string layoutFileText(const char* builtIn) {
  std::string text;
  for (const char* p = builtIn; *p; ++p) {
    if (p[0] == ' ' && p[1] == ' ' && (text.empty() || text.back() != ' ')) {
      while (!text.empty() && text.back() == ' ') text.pop_back();
      text += '\n';
    }
    text += *p;
  }
  return text + "\n";
}

int answerLinuxOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0) {
      std::fputs(help, stdout);
      return 0;
    }
    if (std::strcmp(word, "--version") == 0 || std::strcmp(word, "-V") == 0) {
      std::puts("tarsel " TARSEL_VERSION);
      return 0;
    }
    if (std::strcmp(word, "--print-layout") == 0) {
      std::fputs(layoutFileText(defaultLayoutText()).c_str(), stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
  }
  return -1;
}

const char* projectVersion() { return TARSEL_VERSION; }
