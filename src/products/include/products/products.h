// Derived products: the flight track.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/output_files.h"

/// The name of a product written beside `destination`: its folder, then `prefix`, "-", the
/// destination's file name, "." and `extension` ("dir/out.bin" gives "dir/track-out.bin.txt").
std::string outputName(const std::string& prefix, const std::string& destination,
                       const std::string& extension);
/// `fileName` in the folder of `destination` (as is when the destination has no folder).
std::string besideDestination(const std::string& destination, const std::string& fileName);

/// `text` as XML character data: "&", "<", ">", '"' and "'" escaped, and every byte that is not
/// part of well-formed UTF-8, or a character XML does not allow, replaced by U+FFFD.
std::string xmlText(std::string_view text);

/// The flight track of one conversion: a semicolon-separated table and a GPX 1.1 track,
/// one point per aircraft navigation block ("D1553"), created at the first block.
class FlightTrack {
 public:
  /// Keeps references: the destination name names the files at the first block, the last
  /// source name fills the file column when no message context is set, and the files are
  /// created through `outputs`.
  FlightTrack(const std::string& destinationName, const std::string& lastSourceName,
              platform::OutputFiles& outputs);
  FlightTrack(const FlightTrack&) = delete;
  FlightTrack& operator=(const FlightTrack&) = delete;
  /// Closes the track as trackClose does.
  ~FlightTrack();

  /// The first source's name: its date "_%u-%u-%u-%u-%u-%u_" gives the track's year (2000 +
  /// the first number); without that date the year is 2022.
  void setFirstSourceName(const std::string& sourceName);

  /// Adds the navigation block in the first `extent` bytes of `flowData` (bytes beyond read as 0)
  /// under `trackMode` (negative: no track); `batch` and `mode` come from the current DSP header.
  void trackPoint(const uint8_t* flowData, size_t extent, int32_t trackMode, uint32_t batch,
                  uint32_t mode);
  /// Ends the GPX track and closes both files; nothing when they were never opened.
  void trackClose();

  /// Time text of the last written point ("" before the first).
  const std::string& timeText() const { return timeText_; }
  /// Mode name of the last written point (null before the first).
  const char* modeName() const { return modeName_; }

 private:
  using File = platform::OutputFile;
  struct Navigation;

  void openFiles(uint32_t firstTt64);
  File createFile(const std::string& name, std::unique_ptr<char[]>& buffer);
  bool wanted(int32_t trackMode, const Navigation& nav) const;
  void reportMode(uint32_t mode);
  void writePoint(const Navigation& nav, uint32_t batch, uint32_t mode, bool calendarTime);
  bool makeTimeText(const Navigation& nav);
  const char* sourceName() const;

  const std::string& destinationName_;
  const std::string& lastSourceName_;
  platform::OutputFiles& outputs_;
  bool opened_ = false;  // the first block has been seen (files created or creation failed)
  std::unique_ptr<char[]> textBuffer_;  // declared first: a stream goes before its buffer
  std::unique_ptr<char[]> gpxBuffer_;
  File text_;
  File gpx_;
  uint32_t firstTt64_ = 0;
  unsigned nameYear_ = 0;   // 0: no name date, the year is 2022
  unsigned nameMonth_ = 0;
  bool havePrevious_ = false;
  unsigned previousSeconds_ = 0;
  double previousLatitude_ = 0;
  double previousLongitude_ = 0;
  uint32_t reportedMode_ = 0;
  std::string timeText_;
  const char* modeName_ = nullptr;
};
