// The relaxed JSON reader: one iterative pass over the text, decoding in place.
// Every look-ahead tests a character before stepping over it, and the NUL never passes
// any test, so no input makes the reader read past the end of its text.
#include "json.h"

#include <cstring>

JsonNode* JsonNodePool::take() {
  if (nextFree >= capacity) return nullptr;
  JsonNode* node = &nodes[nextFree++];
  *node = JsonNode{};
  return node;
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isQuote(char c) { return c == '"' || c == '\''; }

char* skipBlanks(char* p) {
  while (isBlank(*p)) ++p;
  return p;
}

char* skipDigits(char* p) {
  while (isDigit(*p)) ++p;
  return p;
}

// The character an escape stands for; 0 for an unknown escape ("\u" is handled apart).
char unescaped(char c) {
  switch (c) {
    case '"': return '"';
    case '\'': return '\'';
    case '/': return '/';
    case '\\': return '\\';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return 0;
  }
}

// Decodes the string opening at `quote` in place from quote + 1; answers the position after
// the closing quote (either quote character closes), or null on a bad escape or end of text.
char* readString(char* quote) {
  char* out = quote + 1;
  char* in = quote + 1;
  for (;;) {
    char c = *in;
    if (c == '\0') return nullptr;
    if (isQuote(c)) {
      *out = '\0';
      return in + 1;
    }
    if (c != '\\') {
      *out++ = c;
      ++in;
      continue;
    }
    char escape = in[1];
    if (escape == 'u') {
      // The code point is not decoded; the four digits stand as one '?'.
      for (int i = 2; i < 6; ++i)
        if (!isHexDigit(in[i])) return nullptr;
      *out++ = '?';
      in += 6;
    } else {
      char decoded = unescaped(escape);
      if (decoded == 0) return nullptr;
      *out++ = decoded;
      in += 2;
    }
  }
}

// An Integer must fit a signed 64-bit value; its text has no leading zeros, so the
// comparison with the limit's digits decides at equal length.
bool fitsInt64(const char* text, std::size_t length) {
  const char* limit = text[0] == '-' ? "-9223372036854775808" : "9223372036854775807";
  std::size_t limitLength = std::strlen(limit);
  if (length != limitLength) return length < limitLength;
  return std::memcmp(text, limit, length) <= 0;
}

// Reads a number at `start`; answers the position after it and sets `kind`, or null.
char* readNumber(char* start, JsonKind& kind) {
  char* p = start;
  if (*p == '-') ++p;
  if (*p == '0') {
    if (isDigit(*++p)) return nullptr;
  } else if (isDigit(*p)) {
    p = skipDigits(p);
  } else {
    return nullptr;
  }
  kind = JsonKind::Integer;
  if (*p == '.') {
    if (!isDigit(*++p)) return nullptr;
    p = skipDigits(p);
    kind = JsonKind::Real;
  }
  if (*p == 'e' || *p == 'E') {
    ++p;
    if (*p == '+' || *p == '-') ++p;
    if (!isDigit(*p)) return nullptr;
    p = skipDigits(p);
    kind = JsonKind::Real;
  }
  if (kind == JsonKind::Integer && !fitsInt64(start, static_cast<std::size_t>(p - start))) return nullptr;
  return p;
}

// Answers the position after `word` when the text at `p` begins with it, else null.
char* readWord(char* p, const char* word) {
  for (; *word; ++word, ++p)
    if (*p != *word) return nullptr;
  return p;
}

// The end of a Boolean, Null, Integer or Real: a separator is overwritten to terminate the
// value's text; a closing bracket stays for the main loop, which overwrites it in turn.
char* finishPrimitive(char* p) {
  if (p == nullptr) return nullptr;
  if (*p == ',' || isBlank(*p)) {
    *p = '\0';
    return p + 1;
  }
  return (*p == '}' || *p == ']') ? p : nullptr;
}

class Parser {
 public:
  Parser(JsonNode* nodes, std::size_t capacity) : pool_{nodes, capacity, 0} {}

  JsonNode* parse(char* text) {
    if (text == nullptr) return nullptr;
    root_ = pool_.take();
    char* p = skipBlanks(text);
    if (root_ == nullptr || *p != '{') return nullptr;
    open_ = root_;
    ++p;
    for (;;) {
      char c = *p;
      if (c == '\0') return nullptr;
      if (isBlank(c) || c == ',') {
        ++p;
      } else if (c == closerOf(*open_)) {
        *p++ = '\0';
        if (open_ == root_) return root_;  // text after the root's closing brace is ignored
        JsonNode* parent = open_->next;
        open_->next = nullptr;
        open_ = parent;
      } else {
        p = readMember(p);
        if (p == nullptr) return nullptr;
      }
    }
  }

 private:
  static char closerOf(const JsonNode& container) { return container.kind == JsonKind::Object ? '}' : ']'; }

  // A new value at `p`: inside an object a key and ':' come first.
  char* readMember(char* p) {
    JsonNode* node = pool_.take();
    if (node == nullptr) return nullptr;
    if (open_->kind == JsonKind::Object) {
      if (!isQuote(*p)) return nullptr;
      char* afterKey = readString(p);
      if (afterKey == nullptr) return nullptr;
      node->name = p + 1;
      p = skipBlanks(afterKey);
      if (*p != ':') return nullptr;
      p = skipBlanks(p + 1);
    }
    append(*node);
    return readValue(p, *node);
  }

  void append(JsonNode& node) {
    if (open_->value.firstChild == nullptr)
      open_->value.firstChild = &node;
    else
      open_->lastChild->next = &node;
    open_->lastChild = &node;
    node.next = nullptr;
  }

  char* readValue(char* p, JsonNode& node) {
    node.value.text = p;
    switch (*p) {
      case '{':
      case '[':
        node.kind = *p == '{' ? JsonKind::Object : JsonKind::Array;
        node.value.firstChild = nullptr;
        node.next = open_;  // the parent link until the container closes
        open_ = &node;
        return p + 1;
      case '"':
      case '\'':
        node.kind = JsonKind::Text;
        node.value.text = p + 1;
        return readString(p);
      case 't':
        node.kind = JsonKind::Boolean;
        return finishPrimitive(readWord(p, "true"));
      case 'f':
        node.kind = JsonKind::Boolean;
        return finishPrimitive(readWord(p, "false"));
      case 'n':
        node.kind = JsonKind::Null;
        return finishPrimitive(readWord(p, "null"));
      default:
        if (*p != '-' && !isDigit(*p)) return nullptr;
        return finishPrimitive(readNumber(p, node.kind));
    }
  }

  JsonNodePool pool_;
  JsonNode* root_ = nullptr;
  JsonNode* open_ = nullptr;  // the innermost open container
};

}  // namespace

JsonNode* parseLayoutJson(char* text, JsonNode* pool, std::size_t capacity) {
  return Parser(pool, capacity).parse(text);
}

const JsonNode* findMember(const JsonNode* node, const char* key) {
  if (node == nullptr || key == nullptr || !node->isContainer()) return nullptr;
  for (const JsonNode* child = node->value.firstChild; child; child = child->next)
    if (child->name && std::strcmp(child->name, key) == 0) return child;
  return nullptr;
}

const char* memberText(const JsonNode* node, const char* key) {
  const JsonNode* member = findMember(node, key);
  return member && !member->isContainer() ? member->value.text : nullptr;
}

namespace {

int digitValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// The magnitude part shared by both conversions, with the sign reported apart.
struct Magnitude {
  uint64_t value = 0;  // saturated just above 0xFFFFFFFF
  const char* end = nullptr;
  bool negative = false;
};

Magnitude readMagnitude(const char* text) {
  Magnitude m;
  m.end = text;
  if (text == nullptr) return m;
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  if (*p == '+' || *p == '-') m.negative = *p++ == '-';
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isHexDigit(p[2])) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  const char* digits = p;
  for (; digitValue(*p) < base; ++p) {
    m.value = m.value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digitValue(*p));
    if (m.value > 0xFFFFFFFFull) m.value = 0x100000000ull;
  }
  if (p != digits) m.end = p;
  return m;
}

}  // namespace

ConvertedNumber toUnsigned32(const char* text) {
  Magnitude m = readMagnitude(text);
  ConvertedNumber result;
  result.end = m.end;
  if (m.value > 0xFFFFFFFFull) {
    result.overflow = true;
    result.value = 0xFFFFFFFFu;
    return result;
  }
  uint32_t magnitude = static_cast<uint32_t>(m.value);
  result.value = m.negative ? 0u - magnitude : magnitude;
  return result;
}

ConvertedNumber toSigned32(const char* text) {
  Magnitude m = readMagnitude(text);
  ConvertedNumber result;
  result.end = m.end;
  uint64_t limit = m.negative ? 0x80000000ull : 0x7FFFFFFFull;
  if (m.value > limit) {
    result.overflow = true;
    result.value = m.negative ? 0x80000000u : 0x7FFFFFFFu;
    return result;
  }
  uint32_t magnitude = static_cast<uint32_t>(m.value);
  result.value = m.negative ? 0u - magnitude : magnitude;
  return result;
}
