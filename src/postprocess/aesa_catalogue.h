// The AESA message catalogue: decoding of the command dump ("AESATX") and the response dump
// ("AESARX") into named messages, and the names of the message codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

/// Word that starts every command and response in a dump.
constexpr uint32_t aesaMarker = 0x5A5A5A5A;
/// Word that ends a response dump.
constexpr uint32_t aesaEndMarker = 0xA5A5A5A5;
/// A command list stops at this many commands.
constexpr std::size_t maxAesaCommands = 2048;
/// Scale of the signed 16-bit beam positions: 65537 x 2^-31.
constexpr double aesaPositionScale = 65537.0 / 2147483648.0;

/// Read-only view of a dump of little-endian 32-bit words; reads past its end answer 0.
class AesaDump {
 public:
  /// Views `byteCount` bytes at `data`; a trailing partial word is outside the dump.
  AesaDump(const uint8_t* data, std::size_t byteCount) : data_(data), words_(byteCount / 4) {}
  /// Whole words in the dump.
  std::size_t wordCount() const { return words_; }
  /// Word `index`, or 0 when it lies outside the dump.
  uint32_t word(std::size_t index) const;

 private:
  const uint8_t* data_;
  std::size_t words_;
};

/// The bytes of one message, carried four to a word from word `firstWord`, the first of them in
/// the most significant byte; bytes past `length` or past the dump read as 0.
class AesaMessageBytes {
 public:
  /// A message of `length` bytes starting at word `firstWord` of `dump`.
  AesaMessageBytes(const AesaDump& dump, std::size_t firstWord,
                   std::size_t length = std::numeric_limits<std::size_t>::max())
      : dump_(dump), firstWord_(firstWord), length_(length) {}
  /// Message byte `index`.
  uint8_t byte(std::size_t index) const;
  /// Unsigned 16-bit from message bytes index (low) and index + 1 (high).
  uint16_t u16(std::size_t index) const;
  /// Signed 16-bit from message bytes index (low) and index + 1 (high).
  int16_t s16(std::size_t index) const { return static_cast<int16_t>(u16(index)); }
  /// Signed 16-bit position times aesaPositionScale, as a 32-bit float.
  float position(std::size_t index) const;

 private:
  const AesaDump& dump_;
  std::size_t firstWord_;
  std::size_t length_;
};

/// The decoded fields of a "BEAM" command, numbered in message order.
struct AesaBeam {
  uint32_t field1 = 0;   ///< byte 2
  uint32_t field2 = 0;   ///< bytes 3-4
  uint32_t field3 = 0;   ///< bytes 5-6
  float field4 = 0;      ///< bytes 7-8, position
  float field5 = 0;      ///< bytes 9-10, position
  float field6 = 0;      ///< bytes 11-12, position
  float field7 = 0;      ///< bytes 13-14, position
  uint32_t field8 = 0;   ///< bytes 15-16
  uint32_t field9 = 0;   ///< byte 17
  uint32_t field10 = 0;  ///< bytes 18-19
  uint32_t field11 = 0;  ///< byte 20
  float field12 = 0;     ///< bytes 21-22, position
  float field13 = 0;     ///< bytes 23-24, position
  uint32_t field14 = 0;  ///< bytes 25-26
  uint32_t field15 = 0;  ///< byte 27
  uint32_t field16 = 0;  ///< bytes 28-29
  uint32_t field17 = 0;  ///< byte 30
};

/// One decoded command.
struct AesaCommand {
  uint32_t code = 0;        ///< message byte 0
  const char* name = "?";   ///< name of the code in the command table
  bool flag = false;        ///< bit 7 of message byte 1
  uint32_t value = 0;       ///< bits 0-6 of message byte 1
  bool hasBeam = false;     ///< code 0x82 ("BEAM")
  AesaBeam beam;            ///< only when hasBeam
};

/// The commands of the latest command dump.
struct AesaCommandList {
  std::vector<AesaCommand> commands;  ///< at most maxAesaCommands
  /// Number of decoded commands.
  uint32_t count() const { return static_cast<uint32_t>(commands.size()); }
};

/// Transfer error of a response (`AesaResponse::errorKind`).
enum AesaErrorKind : int32_t {
  aesaNoError = 0,
  aesaTimeOut = 1,
  aesaCrcError = 2,
  aesaLengthError = 3,
  aesaOtherError = 4,
};

/// One decoded response.
struct AesaResponse {
  uint32_t code = 0;         ///< message byte 0
  const char* name = "?";    ///< name of the code in the response table
  bool flag = false;         ///< bit 7 of message byte 1
  uint32_t value = 0;        ///< bits 0-6 of message byte 1
  int32_t errorKind = 0;     ///< an AesaErrorKind
  bool hasStatus = false;    ///< a "CTISTS" response without transfer error
  uint32_t status = 0;       ///< message bytes 2-5, byte 2 lowest; only when hasStatus
};

/// The responses of the latest response dump, and the good and bad counts of all dumps.
struct AesaResponseList {
  uint32_t good = 0;                     ///< responses without transfer error, all dumps
  uint32_t bad = 0;                      ///< transfer errors and "CTISTS" status bit 1, all dumps
  std::vector<AesaResponse> responses;   ///< the latest dump's responses
  /// Number of responses of the latest dump.
  uint32_t count() const { return static_cast<uint32_t>(responses.size()); }
};

/// Name of a command code; "?" for a code not in the table.
const char* aesaCommandName(uint32_t code);
/// Name of a response code; "?" for a code not in the table.
const char* aesaResponseName(uint32_t code);

/// Decodes the command dump of `byteCount` bytes at `dump` into `list`, replacing its commands;
/// the list ends at a missing marker, at the end of the dump or at maxAesaCommands.
void decodeAesaCommands(AesaCommandList& list, const uint8_t* dump, std::size_t byteCount);

/// Decodes the response dump of `byteCount` bytes at `dump` into `list`, replacing its responses
/// and adding to its good and bad counts; answers "ok", or the error text ("CRC", "TOUT", "LEN")
/// of the last response with a transfer error.
const char* decodeAesaResponses(AesaResponseList& list, const uint8_t* dump,
                                std::size_t byteCount);
