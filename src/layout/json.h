// The relaxed JSON reader of the layout text, and the number conversions its callers use.
// The reader works in place on a writable, NUL-terminated buffer and allocates nothing:
// names and values point into the buffer, nodes come from a caller-supplied array.
#pragma once

#include <cstddef>
#include <cstdint>

/// What a JsonNode holds; the values are part of the node layout.
enum class JsonKind : int32_t { Object = 0, Array = 1, Text = 2, Boolean = 3, Integer = 4, Real = 5, Null = 6 };

/// One value of the parsed tree.
struct JsonNode {
  JsonNode* next = nullptr;  // next sibling; the parent while a container is still open
  char* name = nullptr;      // member key, null for array elements and the root
  union {
    char* text;              // Text, Boolean, Integer, Real, Null: the value's text, never converted
    JsonNode* firstChild;    // Object, Array: the first child, null when empty
  } value{nullptr};
  JsonNode* lastChild = nullptr;  // Object, Array: the last child
  JsonKind kind = JsonKind::Object;

  /// Whether the node is an Object or an Array.
  bool isContainer() const { return kind == JsonKind::Object || kind == JsonKind::Array; }
};

/// A caller's node array; the root takes node 0, a request at capacity fails.
struct JsonNodePool {
  JsonNode* nodes = nullptr;
  std::size_t capacity = 0;
  std::size_t nextFree = 0;

  /// A cleared node, or null when the pool is exhausted.
  JsonNode* take();
};

/// Parses `text` in place (it is overwritten) into `capacity` nodes of `pool`; answers the
/// root (pool[0], an Object) or null on any error. Never reads past the text's NUL.
JsonNode* parseLayoutJson(char* text, JsonNode* pool, std::size_t capacity);

/// The first child of `node` named exactly `key`, or null (also when `node` is not a container).
const JsonNode* findMember(const JsonNode* node, const char* key);

/// The value text of the first child named `key`; null when absent or when it is a container.
const char* memberText(const JsonNode* node, const char* key);

/// Result of a number conversion: the value, where it stopped and whether it overflowed.
struct ConvertedNumber {
  uint32_t value = 0;
  const char* end = nullptr;  // first character not used; the text itself when no digits
  bool overflow = false;      // the value was out of range and is clamped
};

/// Converts like strtoul with base 0 in 32 bits: blanks, "+" or "-" (negates modulo 2^32),
/// "0x" hexadecimal, leading "0" octal, else decimal. Overflow clamps to 0xFFFFFFFF.
ConvertedNumber toUnsigned32(const char* text);

/// Converts like strtol with base 0 in 32 bits; overflow clamps to INT32_MAX or INT32_MIN.
/// The signed value is answered in `value` as its two's complement bits.
ConvertedNumber toSigned32(const char* text);
