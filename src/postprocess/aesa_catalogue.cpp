#include "aesa_catalogue.h"

#include "format/format.h"

uint32_t AesaDump::word(std::size_t index) const {
  if (index >= words_) return 0;
  return format::u32At(std::span<const uint8_t>(data_, words_ * 4), uint64_t{index} * 4);
}

uint8_t AesaMessageBytes::byte(std::size_t index) const {
  if (index >= length_) return 0;
  // The first byte of each group of four travels in the word's most significant byte.
  uint32_t word = dump_.word(firstWord_ + index / 4);
  return static_cast<uint8_t>(word >> (8 * (3 - index % 4)));
}

uint16_t AesaMessageBytes::u16(std::size_t index) const {
  return static_cast<uint16_t>(byte(index) | byte(index + 1) << 8);
}

float AesaMessageBytes::position(std::size_t index) const {
  return static_cast<float>(s16(index) * aesaPositionScale);
}

const char* aesaCommandName(uint32_t code) {
  switch (code) {
    case 0x01: return "CTISTS";
    case 0x07: return "CTIEXTSTS";
    case 0x0A: return "CTINVMWE";
    case 0x0E: return "CTIx0E";
    case 0x1A: return "CTITSYNC";
    case 0x1E: return "CTIINI1";
    case 0x1F: return "CTIINI2";
    case 0x20: return "RFIFMODE";
    case 0x22: return "RFIFSTS";
    case 0x23: return "RFIFBITE";
    case 0x24: return "RFIFFW";
    case 0x25: return "...";
    case 0x37: return "RFIFETI";
    case 0x82: return "BEAM";
    case 0x86: return "BEAMSAVE";
    case 0x88: return "BEAMINDEX";
    case 0xA0: return "RFETE";
    case 0xA8: return "DMAP";
    case 0xAE: return "A-STS";
    case 0xAF: return "A-FW";
    case 0xC1: return "TRCINIT";
    case 0xC2: return "PLANKSTS";
    case 0xC3: return "CTISTS";
    case 0xC4: return "PLANKVTX";
    case 0xC7: return "PLANKSTS+";
    default: return "?";
  }
}

const char* aesaResponseName(uint32_t code) {
  switch (code) {
    case 0x62: return "RFIFSTS";
    case 0x63: return "RFIFFWSTS";
    case 0x64: return "RFIFTSSTS";
    case 0x67: return "RFIFBITE";
    case 0x6A: return "RFIF_NVM_DATA";
    case 0x6B: return "RFIF_ETI_READ_BACK";
    case 0x70: return "CTISTS";
    case 0x71: return "AESABRCSTS";
    case 0x72: return "PLANKSTS";
    case 0x74: return "CTIIMUSTS";
    case 0x75: return "PLANKEXTSTS";
    case 0x78: return "CTIEXTSTS";
    case 0x7B: return "CTIETIRB";
    case 0x7F: return "DMAPRES";
    case 0x80: return "AESASTS";
    case 0x81: return "AESAFWSTS";
    case 0x8E: return "CTIINIRES";
    case 0x8F: return "CTIINISTS";
    default: return "?";
  }
}

namespace {

constexpr uint32_t beamCode = 0x82;
constexpr uint32_t ctiStatusCode = 0x70;
constexpr uint32_t timeOutBit = 1u << 1;
constexpr uint32_t crcErrorBit = 1u << 0;
constexpr uint32_t ctiStatusFaultBit = 1u << 1;

AesaBeam decodeBeam(const AesaMessageBytes& m) {
  AesaBeam b;
  b.field1 = m.byte(2);
  b.field2 = m.u16(3);
  b.field3 = m.u16(5);
  b.field4 = m.position(7);
  b.field5 = m.position(9);
  b.field6 = m.position(11);
  b.field7 = m.position(13);
  b.field8 = m.u16(15);
  b.field9 = m.byte(17);
  b.field10 = m.u16(18);
  b.field11 = m.byte(20);
  b.field12 = m.position(21);
  b.field13 = m.position(23);
  b.field14 = m.u16(25);
  b.field15 = m.byte(27);
  b.field16 = m.u16(28);
  b.field17 = m.byte(30);
  return b;
}

AesaCommand decodeCommand(const AesaMessageBytes& m) {
  AesaCommand c;
  c.code = m.byte(0);
  c.name = aesaCommandName(c.code);
  c.flag = (m.byte(1) & 0x80) != 0;
  c.value = m.byte(1) & 0x7F;
  // The beam fields span 31 message bytes whatever the length word says.
  c.hasBeam = c.code == beamCode;
  if (c.hasBeam) c.beam = decodeBeam(m);
  return c;
}

// Error of a response of `byteCount` message bytes with status word `status`; a length beyond
// the bytes received outranks the time-out and CRC bits.
int32_t transferError(std::size_t byteCount, uint32_t status) {
  if (byteCount < (status >> 16)) return aesaLengthError;
  if (status & timeOutBit) return aesaTimeOut;
  if (status & crcErrorBit) return aesaCrcError;
  return aesaNoError;
}

const char* errorText(int32_t errorKind) {
  switch (errorKind) {
    case aesaCrcError: return "CRC";
    case aesaTimeOut: return "TOUT";
    case aesaLengthError: return "LEN";
    default: return "???";
  }
}

bool isResponseBoundary(uint32_t word) { return word == aesaMarker || word == aesaEndMarker; }

}  // namespace

void decodeAesaCommands(AesaCommandList& list, const uint8_t* dump, std::size_t byteCount) {
  const AesaDump words(dump, byteCount);
  list.commands.clear();
  std::size_t i = 0;
  while (i < words.wordCount() && list.commands.size() < maxAesaCommands) {
    if (words.word(i) != aesaMarker) break;
    std::size_t length = words.word(i + 1) >> 16;
    list.commands.push_back(decodeCommand(AesaMessageBytes(words, i + 2)));
    i += 2 + (length + 3) / 4;
  }
}

const char* decodeAesaResponses(AesaResponseList& list, const uint8_t* dump,
                                std::size_t byteCount) {
  const AesaDump words(dump, byteCount);
  const char* result = "ok";
  list.responses.clear();
  std::size_t index = 0;
  while (index < words.wordCount() && words.word(index) == aesaMarker) {
    std::size_t next = index + 1;
    while (next < words.wordCount() && !isResponseBoundary(words.word(next))) ++next;
    if (next >= words.wordCount()) break;  // no closing marker: the dump ends mid-response
    std::size_t n = next - index - 1;      // message words and the status word
    if (n == 0) break;

    const std::size_t messageLength = 4 * n - 4;
    const AesaMessageBytes m(words, index + 1, messageLength);
    AesaResponse r;
    r.code = m.byte(0);
    r.name = aesaResponseName(r.code);
    r.flag = (m.byte(1) & 0x80) != 0;
    r.value = m.byte(1) & 0x7F;
    r.errorKind = transferError(messageLength, words.word(next - 1));
    if (r.errorKind != aesaNoError) {
      ++list.bad;
      result = errorText(r.errorKind);
    } else {
      ++list.good;
      if (r.code == ctiStatusCode) {
        r.hasStatus = true;
        r.status = uint32_t{m.u16(2)} | uint32_t{m.u16(4)} << 16;
        // A status that reports a fault counts as bad as well as good.
        if (r.status & ctiStatusFaultBit) ++list.bad;
      }
    }
    list.responses.push_back(r);
    index = next;
  }
  return result;
}
