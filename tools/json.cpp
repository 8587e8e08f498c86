// A small JSON reader for scenario files and manifests (no comments, no trailing commas).
#include <cstdlib>

#include "synth_internal.h"

namespace synth {

const JsonValue* JsonValue::find(const std::string& key) const {
  for (const auto& [k, v] : members)
    if (k == key) return &v;
  return nullptr;
}

namespace {

class JsonParser {
 public:
  explicit JsonParser(const std::string& text) : text_(text) {}

  std::string parse(JsonValue& out) {
    if (!value(out, 0)) return error_;
    skipBlanks();
    if (pos_ != text_.size()) return fail("text after the value");
    return "";
  }

 private:
  static constexpr int maxDepth = 64;

  std::string fail(const std::string& what) {
    if (error_.empty()) error_ = "JSON error at byte " + std::to_string(pos_) + ": " + what;
    return error_;
  }

  void skipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r'))
      ++pos_;
  }

  bool literal(const char* word) {
    size_t n = std::strlen(word);
    if (text_.compare(pos_, n, word) != 0) return false;
    pos_ += n;
    return true;
  }

  bool value(JsonValue& out, int depth) {
    if (depth > maxDepth) return fail("nested too deeply"), false;
    skipBlanks();
    if (pos_ >= text_.size()) return fail("value expected"), false;
    char c = text_[pos_];
    if (c == '{') return object(out, depth);
    if (c == '[') return array(out, depth);
    if (c == '"') return out.kind = JsonValue::String, string(out.text);
    if (literal("true")) return out.kind = JsonValue::Bool, out.boolean = true, true;
    if (literal("false")) return out.kind = JsonValue::Bool, out.boolean = false, true;
    if (literal("null")) return out.kind = JsonValue::Null, true;
    return number(out);
  }

  bool number(JsonValue& out) {
    size_t start = pos_;
    while (pos_ < text_.size() && std::strchr("+-0123456789.eExXabcdefABCDEF", text_[pos_])) ++pos_;
    if (pos_ == start) return fail("value expected"), false;
    out.kind = JsonValue::Number;
    out.text = text_.substr(start, pos_ - start);
    char* end = nullptr;
    out.number = std::strtod(out.text.c_str(), &end);
    if (*end != '\0') {
      out.number = static_cast<double>(std::strtoull(out.text.c_str(), &end, 0));
      if (*end != '\0') return fail("bad number " + out.text), false;
    }
    return true;
  }

  bool string(std::string& out) {
    ++pos_;  // the opening quote
    out.clear();
    while (pos_ < text_.size() && text_[pos_] != '"') {
      char c = text_[pos_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) break;
      char e = text_[pos_++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          if (pos_ + 4 > text_.size()) return fail("bad escape"), false;
          unsigned code = static_cast<unsigned>(std::strtoul(text_.substr(pos_, 4).c_str(), nullptr, 16));
          pos_ += 4;
          if (code < 0x80) out += static_cast<char>(code);
          else if (code < 0x800) out += static_cast<char>(0xC0 | code >> 6), out += static_cast<char>(0x80 | (code & 0x3F));
          else out += static_cast<char>(0xE0 | code >> 12), out += static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
               out += static_cast<char>(0x80 | (code & 0x3F));
          break;
        }
        default: out += e;
      }
    }
    if (pos_ >= text_.size()) return fail("unterminated string"), false;
    ++pos_;
    return true;
  }

  bool array(JsonValue& out, int depth) {
    out.kind = JsonValue::Array;
    ++pos_;
    skipBlanks();
    if (pos_ < text_.size() && text_[pos_] == ']') return ++pos_, true;
    for (;;) {
      out.items.emplace_back();
      if (!value(out.items.back(), depth + 1)) return false;
      skipBlanks();
      if (pos_ < text_.size() && text_[pos_] == ',') { ++pos_; continue; }
      if (pos_ < text_.size() && text_[pos_] == ']') return ++pos_, true;
      return fail("',' or ']' expected"), false;
    }
  }

  bool object(JsonValue& out, int depth) {
    out.kind = JsonValue::Object;
    ++pos_;
    skipBlanks();
    if (pos_ < text_.size() && text_[pos_] == '}') return ++pos_, true;
    for (;;) {
      skipBlanks();
      if (pos_ >= text_.size() || text_[pos_] != '"') return fail("key expected"), false;
      std::string key;
      if (!string(key)) return false;
      skipBlanks();
      if (pos_ >= text_.size() || text_[pos_] != ':') return fail("':' expected"), false;
      ++pos_;
      out.members.emplace_back(key, JsonValue{});
      if (!value(out.members.back().second, depth + 1)) return false;
      skipBlanks();
      if (pos_ < text_.size() && text_[pos_] == ',') { ++pos_; continue; }
      if (pos_ < text_.size() && text_[pos_] == '}') return ++pos_, true;
      return fail("',' or '}' expected"), false;
    }
  }

  const std::string& text_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

std::string parseJson(const std::string& text, JsonValue& out) {
  out = JsonValue{};
  return JsonParser(text).parse(out);
}

}  // namespace synth
