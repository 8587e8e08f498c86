// The software-data decoder: walks saved records (chunks and S-Block streams) and tells
// the registered observers about every block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "playback/playback.h"

/// What observers receive for a chunk or an S-Block.
struct BlockInfo {
  char name[16 + 1];    ///< flow name (8) or block name (16), NUL-padded and always terminated
  uint32_t sourceId;    ///< of the chunk (for an S-Block: of the enclosing or last chunk)
  uint32_t sourceTag;   ///< of the chunk
  uint32_t size;        ///< data length
  uint64_t position;    ///< stream position of the data
  uint32_t isSBlock;    ///< 1 for an S-Block, 0 for a chunk
  uint32_t word9;       ///< S-Block words 9, 10, 11, 13 and 14 (0 for a chunk)
  uint32_t word10;
  uint32_t word11;
  uint32_t word13;
  uint32_t word14;
};

/// What extension observers receive for an "EXT " record.
struct XinfoRecord {
  char name[8 + 1];   ///< "EXT " and four more characters, always terminated
  uint32_t size;      ///< payload length
  uint64_t position;  ///< stream position of the payload
};

/// One conversion's decoder of software-recorded data.
class SoftDecoder {
 public:
  /// Observer call: (context, record); the answer is not used.
  using BlockObserver = int (*)(void* context, const BlockInfo& info);
  using XinfoObserver = int (*)(void* context, const XinfoRecord& record);
  /// Sees every chunk, S-Block and extension record: (registered value, name).
  using BlockCallback = std::function<void(uint32_t value, const char* name)>;

  static constexpr size_t tableSize = 256;
  static constexpr size_t inlineContextSize = 32;

  SoftDecoder() = default;
  SoftDecoder(const SoftDecoder&) = delete;
  SoftDecoder& operator=(const SoftDecoder&) = delete;

  /// Decodes one saved record (record header included when present) until decodeNext answers 0;
  /// nothing when the post-processing level is below -1.
  void decodeSoftRecord(uint32_t sourceId, const char* sourceName, const uint8_t* data,
                        uint32_t length);
  void setPostProcessLevel(int32_t level) { postProcessLevel_ = level; }
  int32_t postProcessLevel() const { return postProcessLevel_; }

  /// Advances to the next chunk or S-Block and dispatches it; answers the first 8 bytes of its
  /// name (little-endian), or 0 at the end of the record, on damage or for a nameless block.
  uint64_t decodeNext();

  /// Selects the reader (null: the decoder's own memory reader, the default).
  void setSoftReader(VeloxPlaybackStreamReader* reader);
  VeloxPlaybackStreamReader& softReader() { return *reader_; }
  /// The reader decodeSoftRecord points at each record.
  VeloxPlaybackReaderMemory& memoryReader() { return memoryReader_; }

  /// Takes the first free entry; `contextLength` bytes (at most 32) of `context` are copied and
  /// that copy is handed to the callback (0: the pointer itself is). False when the table is full.
  bool registerBlockObserver(const char* name, BlockObserver callback, void* context,
                             size_t contextLength);
  bool registerXinfoObserver(const char* name, XinfoObserver callback, void* context,
                             size_t contextLength);
  /// Registers `(object->*handler)(info)`; the binding lives in the entry's inline copy.
  template <class T>
  bool registerBlockObserver(const char* name, T* object, int (T::*handler)(const BlockInfo&));
  template <class T>
  bool registerXinfoObserver(const char* name, T* object, int (T::*handler)(const XinfoRecord&));
  void setBlockCallback(BlockCallback callback, uint32_t value);

  /// Reads `length` bytes (0: the whole payload) from the payload start into `destination`, or
  /// skips them when it is null. False when the seek or the read fails (a skip always succeeds).
  bool readBlock(void* destination, const BlockInfo& info, uint32_t length = 0);
  bool readBlock(void* destination, const XinfoRecord& record, uint32_t length = 0);
  /// As readBlock, and false without reading when the bytes would not fit `destination`.
  bool readBlock(std::span<uint8_t> destination, const BlockInfo& info, uint32_t length = 0);
  bool readBlock(std::span<uint8_t> destination, const XinfoRecord& record, uint32_t length = 0);
  /// The block's data in memory; null without direct access or when it is not in the record.
  const uint8_t* blockPointer(const BlockInfo& info);
  /// Fills `destination` for an S-Block found inside other data (`raw` at its start marker,
  /// at least 60 bytes): all zero but isSBlock and the five words.
  static void blockInfoFromRaw(BlockInfo* destination, const uint8_t* raw);
  /// As above; false (destination untouched) when `raw` is shorter than 60 bytes.
  static bool blockInfoFromRaw(BlockInfo* destination, std::span<const uint8_t> raw);
  /// Reads the block's header into `destination`, then walks its "EXT " records, calling the
  /// extension observers and the block callback. False when the header cannot be read whole
  /// (a bad length ends the walk with a message).
  bool readExtendedBlock(std::span<uint8_t> destination, const BlockInfo& info);

  /// Writes the overrun message of a read that would end at `position`, beyond the block that
  /// ends at `blockEnd`; decoding goes on as usual.
  void reportOverrun(uint64_t position, uint64_t blockEnd) const;

  /// Source id and name of the record being decoded (name null when none).
  uint32_t currentSourceId() const { return currentSourceId_; }
  const char* currentSourceName() const { return currentSourceName_; }

 private:
  template <class Callback>
  struct ObserverEntry {
    std::string name;
    Callback callback = nullptr;  // null: free
    void* context = nullptr;
    bool useInline = false;
    alignas(std::max_align_t) unsigned char inlineContext[inlineContextSize] = {};
    void* contextForCall() { return useInline ? inlineContext : context; }
  };
  template <class Callback>
  using ObserverTable = std::array<ObserverEntry<Callback>, tableSize>;

  template <class Callback>
  static bool registerIn(ObserverTable<Callback>& table, const char* name, Callback callback,
                         void* context, size_t contextLength);
  uint64_t betweenChunks(bool& again);
  uint64_t insideStream(bool& again);
  uint64_t dispatchChunk(const char* name, uint32_t length);
  uint64_t dispatchSBlock();
  bool finishSBlock();
  uint64_t endOfStream(bool& again);
  bool readExact(void* destination, uint32_t length);
  bool readAt(void* destination, uint64_t position, uint32_t payloadSize, uint32_t length);
  void walkExtensions(const BlockInfo& info, uint32_t headerLength);
  void callBlockCallback(const char* name);
  uint64_t recordLimit() const;

  int32_t postProcessLevel_ = -2;
  VeloxPlaybackReaderMemory memoryReader_;
  VeloxPlaybackStreamReader* reader_ = &memoryReader_;
  ObserverTable<BlockObserver> blockObservers_;
  ObserverTable<XinfoObserver> xinfoObservers_;
  BlockCallback blockCallback_;
  uint32_t blockCallbackValue_ = 0;

  int mode_ = 0;            // 0 between chunks, 1 in a SOFT chunk, 2 in a stand-alone stream
  uint64_t chunkEnd_ = 0;   // 0: none
  uint64_t sblockEnd_ = 0;  // 0: none
  uint64_t lastEnd_ = 0;    // S-Block end before the latest start-marker check
  bool firstRead_ = true;
  uint32_t chunkSourceId_ = 0;
  uint32_t chunkSourceTag_ = 0;
  uint32_t currentSourceId_ = 0;
  const char* currentSourceName_ = nullptr;
};

template <class T>
bool SoftDecoder::registerBlockObserver(const char* name, T* object,
                                        int (T::*handler)(const BlockInfo&)) {
  struct Binding {
    T* object;
    int (T::*handler)(const BlockInfo&);
  };
  static_assert(sizeof(Binding) <= inlineContextSize);
  Binding binding{object, handler};
  BlockObserver call = [](void* context, const BlockInfo& info) {
    auto* bound = static_cast<Binding*>(context);
    return (bound->object->*bound->handler)(info);
  };
  return registerBlockObserver(name, call, &binding, sizeof binding);
}

template <class T>
bool SoftDecoder::registerXinfoObserver(const char* name, T* object,
                                        int (T::*handler)(const XinfoRecord&)) {
  struct Binding {
    T* object;
    int (T::*handler)(const XinfoRecord&);
  };
  static_assert(sizeof(Binding) <= inlineContextSize);
  Binding binding{object, handler};
  XinfoObserver call = [](void* context, const XinfoRecord& record) {
    auto* bound = static_cast<Binding*>(context);
    return (bound->object->*bound->handler)(record);
  };
  return registerXinfoObserver(name, call, &binding, sizeof binding);
}
