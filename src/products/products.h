// Derived products: the flight track.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

/// The flight track of one conversion: a semicolon-separated table and a GPX 1.1 track,
/// one point per aircraft navigation block ("D1553"), created at the first block.
class FlightTrack {
 public:
  /// Keeps references: the destination name names the files at the first block, and the last
  /// source name fills the file column when no message context is set.
  FlightTrack(const std::string& destinationName, const std::string& lastSourceName);
  FlightTrack(const FlightTrack&) = delete;
  FlightTrack& operator=(const FlightTrack&) = delete;
  /// Closes the track as trackClose does.
  ~FlightTrack();

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
  struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
  };
  using File = std::unique_ptr<FILE, FileCloser>;
  struct Navigation;

  void openFiles(uint32_t firstTt64);
  File createFile(const std::string& name, std::unique_ptr<char[]>& buffer);
  bool wanted(int32_t trackMode, const Navigation& nav) const;
  void reportMode(uint32_t mode);
  void writePoint(const Navigation& nav, uint32_t batch, uint32_t mode);
  const char* sourceName() const;

  const std::string& destinationName_;
  const std::string& lastSourceName_;
  bool opened_ = false;  // the first block has been seen (files created or creation failed)
  std::unique_ptr<char[]> textBuffer_;  // declared first: a stream goes before its buffer
  std::unique_ptr<char[]> gpxBuffer_;
  File text_;
  File gpx_;
  uint32_t firstTt64_ = 0;
  unsigned previousSeconds_ = 0;
  double previousLatitude_ = 0;
  double previousLongitude_ = 0;
  uint32_t reportedMode_ = 0;
  std::string timeText_;
  const char* modeName_ = nullptr;
};
