// Byte-stream readers the software-data decoder reads through: an abstract stream reader and
// a reader over a buffer in memory.
#pragma once

#include <cstdint>
#include <string>

/// A byte stream the decoder can read, seek and (where offered) address directly.
class VeloxPlaybackStreamReader {
 public:
  virtual ~VeloxPlaybackStreamReader() = default;

  /// Text naming the reader.
  virtual const char* name() const = 0;
  /// Stores a path or label; answers the stored text.
  virtual const char* setPath(const char* path) = 0;
  /// Opens the stream; true on success.
  virtual bool open(const char* path) = 0;
  /// True while the reader can deliver data.
  virtual bool isOpen() const = 0;
  virtual void setLoop(bool flag) = 0;
  /// Copies `length` bytes to `destination`; -1 on failure, a non-negative value on success.
  virtual int32_t read(void* destination, uint32_t length) = 0;
  /// The next little-endian 32-bit value; 0 when the read fails.
  virtual uint32_t readU32();
  /// The read position.
  virtual uint64_t tell() const = 0;
  /// Moves to `position`; 0 on success, non-zero (position unchanged) on failure.
  virtual int seek(uint64_t position) = 0;
  /// Moves by `delta` (modulo 2^64); as seek.
  virtual int skip(uint64_t delta) = 0;
  /// True at the end of the data; a reader that cannot tell keeps this answer.
  virtual bool atEnd() { return true; }
  virtual void rewind() {}
  virtual bool hasError() const { return false; }
  /// Address of the data at `position`; a reader without direct access keeps this null.
  virtual const uint8_t* pointerAt(uint64_t) { return nullptr; }
};

/// A reader over a buffer in memory that it does not own.
class VeloxPlaybackReaderMemory : public VeloxPlaybackStreamReader {
 public:
  VeloxPlaybackReaderMemory() = default;
  /// A reader over `length` bytes at `data`, at position 0.
  VeloxPlaybackReaderMemory(const uint8_t* data, uint64_t length) : base(data), size(length) {}

  const uint8_t* base = nullptr;  ///< start of the buffer (not owned)
  uint64_t size = 0;              ///< buffer length in bytes
  std::string label = "memory";   ///< a name for the buffer
  uint64_t position = 0;          ///< read position

  const char* name() const override { return "memory"; }
  /// Stores `path` (null: empty) as the label and answers it.
  const char* setPath(const char* path) override;
  bool open(const char*) override { return true; }
  bool isOpen() const override { return true; }
  void setLoop(bool) override {}
  /// Fails (-1, position kept) with a null destination or past the end; else answers `length`.
  int32_t read(void* destination, uint32_t length) override;
  uint64_t tell() const override { return position; }
  /// Fails (1, position kept) unless `position` is below `size`: a seek to `size` fails.
  int seek(uint64_t position) override;
  /// seek(position + delta) through the virtual table.
  int skip(uint64_t delta) override { return seek(position + delta); }
  bool atEnd() override { return position >= size; }
  /// seek(0) through the virtual table: an empty reader stays where it is.
  void rewind() override { seek(0); }
  bool hasError() const override { return false; }
  /// base + the low 32 bits of `position`; null beyond the buffer or without one.
  const uint8_t* pointerAt(uint64_t position) override;
};
