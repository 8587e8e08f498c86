// The converter's command line: its parameter, its 31 qualifiers and its option set.
#pragma once

#include "commandline/cmdopt.h"

/// Selects a registry while the members after it are constructed.
struct RegistrySelection {
  explicit RegistrySelection(void (*select)()) { select(); }
};

/// The parameter and qualifiers in registration order (which is the matching order).
struct ConverterQualifiers {
  RegistrySelection parameterRegistry{zor::select_parameter_registry};
  zor::cmdopt_infile binfile{"_b", "binfile", "source binary file", true, zor::required};
  RegistrySelection qualifierRegistry{zor::select_qualifier_registry};
  zor::cmdopt_qualifier nosignal{"nosign", "nosignal", "don't save signal"};
  zor::cmdopt_int concatenate{"n", "concatenate", "concatenate REC files", false,
                              zor::optional_value};
  zor::cmdopt_qualifier firmwareheader{"hfw", "firmwareheader", "use FW header instead of Software"};
  zor::cmdopt_qualifier posbug{"$pbug", "posbug", "fix DSP header geopos bug"};
  // Takes a value only when written with "=", so "/postprocess" can end the line or precede
  // another argument.
  zor::cmdopt_int postprocess{"p", "postprocess", "post process session history", false,
                              zor::optional_value};
  zor::cmdopt_qualifier hsynch{"h", "hsynch", "SYnch signal flows with header"};
  zor::cmdopt_qualifier onlysw{"sw", "onlysw", "extract only SW data", false,
                               zor::negatable | zor::repeatable};
  zor::cmdopt_uint onlydsp{"dsp", "onlydsp", "extract only DSP data", false,
                           zor::negatable | zor::optional_value | zor::repeatable};
  zor::cmdopt_qualifier stop{"ss", "stop", "stop on discontinuity"};
  zor::cmdopt_outfile outfile{"o", "outfile", "output file", true, zor::required};
  zor::cmdopt_qualifier dryrun{"dryrun", "dryrun", "dryrun"};
  zor::cmdopt_infile json{"j", "json", "json configuration file", false, zor::optional_value};
  zor::cmdopt_outfile log{"l", "log", "log file", false, zor::optional_value};
  zor::cmdopt_choice format{"f", "format", "bhc", "output format"};
  zor::cmdopt_int max{"m", "max", "Maximum number of batches"};
  zor::cmdopt_int rows{"r", "rows", "PRI number"};
  zor::cmdopt_int cols{"c", "cols", "RBIN number"};
  zor::cmdopt_int zero{"zero", "zero", "check signal zeros"};
  zor::cmdopt_qualifier fromstby{"z", "fromstby", "start save from stby"};
  zor::cmdopt_qualifier analyze{"a", "analyze", "Analyze only"};
  zor::cmdopt_qualifier fixdate{"d", "fixdate", "Fix REZU file date"};
  zor::cmdopt_uint examine{"x", "examine", "examine some data"};
  zor::cmdopt_uint videoout{"vout", "videoout", "out video to rec results", false,
                            zor::negatable | zor::optional_value | zor::repeatable};
  zor::cmdopt_uint videoshow{"vshow", "videoshow", "show video", false,
                             zor::negatable | zor::optional_value | zor::repeatable};
  zor::cmdopt_qualifier videosave{"vsave", "videosave", "save video"};
  zor::cmdopt_int videoframe{"vframe", "videoframe", "fix frame rate"};
  zor::cmdopt_uint gps{"gps", "gps", "save gps track", false, zor::optional_value};
  zor::cmdopt_qualifier fixhr{"fixhr", "fixhr", "fix HR debug data"};
  zor::cmdopt_qualifier sar{"sar", "sar", "save only SAR"};
  zor::cmdopt_qualifier videosubtitle{"vst", "videosubtitle", "Add AVi subtitles"};
  zor::cmdopt_uint bstart{"b", "bstart", "start batch to save"};
  // Ours, after the qualifiers above so their usage text stays as it is.
  zor::cmdopt_text report{"report", "report", "write a JSON run report", false, zor::required};
};

/// The converter's option set: its own version banner and usage with the change list.
class cmd_options : public zor::cmdopt_autoset {
 public:
  cmd_options() : zor::cmdopt_autoset(true) {}
  void version() override;
  void usage() override;
};

/// Writes the banner line on standard output.
void writeBanner();
