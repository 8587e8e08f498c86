// The relaxed JSON reader and the number conversions.
#include "json.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// A parse over a private copy of the text.
struct Parsed {
  explicit Parsed(const std::string& text, std::size_t capacity = 2048)
      : buffer(text.begin(), text.end()), nodes(capacity) {
    buffer.push_back('\0');
    root = parseLayoutJson(buffer.data(), nodes.data(), nodes.size());
  }
  std::vector<char> buffer;
  std::vector<JsonNode> nodes;
  JsonNode* root = nullptr;
};

std::vector<std::string> childNames(const JsonNode* node) {
  std::vector<std::string> names;
  for (const JsonNode* child = node->value.firstChild; child; child = child->next)
    names.push_back(child->name ? child->name : "<null>");
  return names;
}

std::vector<std::string> elementTexts(const JsonNode* array) {
  std::vector<std::string> texts;
  for (const JsonNode* child = array->value.firstChild; child; child = child->next)
    texts.push_back(child->value.text);
  return texts;
}

bool parses(const std::string& text) { return Parsed(text).root != nullptr; }

std::string textOf(const std::string& json, const char* key = "a") {
  Parsed parsed(json);
  if (!parsed.root) return "<error>";
  const char* text = memberText(parsed.root, key);
  return text ? text : "<null>";
}

JsonKind kindOf(const std::string& json) {
  Parsed parsed(json);
  EXPECT_NE(parsed.root, nullptr) << json;
  const JsonNode* member = parsed.root ? findMember(parsed.root, "a") : nullptr;
  return member ? member->kind : JsonKind::Object;
}

}  // namespace

TEST(JsonReader, EmptyObjectWithBlanksAroundIt) {
  Parsed parsed(" \n\t\r\f{ \f }  ");
  ASSERT_NE(parsed.root, nullptr);
  EXPECT_EQ(parsed.root, &parsed.nodes[0]);
  EXPECT_EQ(parsed.root->kind, JsonKind::Object);
  EXPECT_EQ(parsed.root->name, nullptr);
  EXPECT_EQ(parsed.root->value.firstChild, nullptr);
  EXPECT_EQ(parsed.root->next, nullptr);
}

TEST(JsonReader, RootMustBeAnObject) {
  EXPECT_FALSE(parses("[1]"));
  EXPECT_FALSE(parses(""));
  EXPECT_FALSE(parses("   "));
  EXPECT_FALSE(parses("\v{}"));  // vertical tab is not a blank here
}

TEST(JsonReader, CommasArePureSeparators) {
  for (const char* text : {"{'a':1 'b':2}", "{'a':1,,,'b':2,}", "{,'a':1,'b':2}"}) {
    Parsed parsed(text);
    ASSERT_NE(parsed.root, nullptr) << text;
    EXPECT_EQ(childNames(parsed.root), (std::vector<std::string>{"a", "b"})) << text;
    EXPECT_STREQ(memberText(parsed.root, "a"), "1");
    EXPECT_STREQ(memberText(parsed.root, "b"), "2");
  }
  Parsed array("{'a':[1 2,,3,]}");
  ASSERT_NE(array.root, nullptr);
  EXPECT_EQ(elementTexts(findMember(array.root, "a")), (std::vector<std::string>{"1", "2", "3"}));
}

TEST(JsonReader, KeysNeedAQuoteAndAColon) {
  EXPECT_FALSE(parses("{'a' 1}"));
  EXPECT_FALSE(parses("{a:1}"));
  EXPECT_FALSE(parses("{'a'"));
  EXPECT_TRUE(parses("{ 'a' \t:\n 1 }"));
  EXPECT_EQ(textOf("{\"\":''}", ""), "");
}

TEST(JsonReader, EitherQuoteClosesAString) {
  EXPECT_EQ(textOf("{'a':\"x'}"), "x");
  EXPECT_EQ(textOf("{\"a':'x\"}"), "x");
  EXPECT_EQ(kindOf("{'a':'x'}"), JsonKind::Text);
  // Nothing is required after the closing quote.
  Parsed parsed("{'a':'x''b':'y'}");
  ASSERT_NE(parsed.root, nullptr);
  EXPECT_EQ(childNames(parsed.root), (std::vector<std::string>{"a", "b"}));
}

TEST(JsonReader, DecodesEscapesInPlace) {
  EXPECT_EQ(textOf("{'a':'it\\'s'}"), "it's");
  EXPECT_EQ(textOf("{'a':'\\\"\\/\\\\\\b\\f\\n\\r\\t'}"), "\"/\\\b\f\n\r\t");
  EXPECT_EQ(textOf("{'a':'\\u00e9x'}"), "?x");
  EXPECT_EQ(textOf("{'a':'\\uABCD'}"), "?");
  Parsed key("{'k\\ney':1}");
  ASSERT_NE(key.root, nullptr);
  EXPECT_STREQ(key.root->value.firstChild->name, "k\ney");
}

TEST(JsonReader, RejectsBadEscapes) {
  EXPECT_FALSE(parses("{'a':'\\x'}"));
  EXPECT_FALSE(parses("{'a':'\\u00e'}"));
  EXPECT_FALSE(parses("{'a':'\\u00g0'}"));
  EXPECT_FALSE(parses("{'a':'\\U00e9'}"));
}

TEST(JsonReader, NumbersKeepTheirTextAndKind) {
  EXPECT_EQ(kindOf("{'a':0}"), JsonKind::Integer);
  EXPECT_EQ(kindOf("{'a':-0}"), JsonKind::Integer);
  EXPECT_EQ(kindOf("{'a':1e5}"), JsonKind::Real);
  EXPECT_EQ(kindOf("{'a':-1.25E-3}"), JsonKind::Real);
  EXPECT_EQ(kindOf("{'a':2.5}"), JsonKind::Real);
  EXPECT_EQ(textOf("{'a':4096}"), "4096");
  EXPECT_EQ(textOf("{'a':-1.5e+7,'b':1}"), "-1.5e+7");
  for (const char* bad : {"{'a':01}", "{'a':1.}", "{'a':.5}", "{'a':+1}", "{'a':0x10}", "{'a':-}", "{'a':1e}",
                          "{'a':1e+}", "{'a':--1}", "{'a':1.5.2}"})
    EXPECT_FALSE(parses(bad)) << bad;
}

TEST(JsonReader, IntegersMustFitSixtyFourBits) {
  EXPECT_TRUE(parses("{'a':9223372036854775807}"));
  EXPECT_TRUE(parses("{'a':-9223372036854775808}"));
  EXPECT_FALSE(parses("{'a':9223372036854775808}"));
  EXPECT_FALSE(parses("{'a':-9223372036854775809}"));
  EXPECT_FALSE(parses("{'a':10000000000000000000}"));
  // Reals have no range limit.
  EXPECT_TRUE(parses("{'a':99999999999999999999.0}"));
}

TEST(JsonReader, LiteralsMustBeWholeWords) {
  EXPECT_EQ(kindOf("{'a':true}"), JsonKind::Boolean);
  EXPECT_EQ(kindOf("{'a':false }"), JsonKind::Boolean);
  EXPECT_EQ(kindOf("{'a':null,}"), JsonKind::Null);
  EXPECT_EQ(textOf("{'a':false}"), "false");
  for (const char* bad : {"{'a':truex}", "{'a':True}", "{'a':nul}", "{'a':true:}", "{'a':1x}", "{'a':tru"})
    EXPECT_FALSE(parses(bad)) << bad;
}

TEST(JsonReader, ClosingBracketEndsAValue) {
  Parsed parsed("{'a':[1,2]}");
  ASSERT_NE(parsed.root, nullptr);
  const JsonNode* array = findMember(parsed.root, "a");
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->kind, JsonKind::Array);
  EXPECT_EQ(elementTexts(array), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(array->value.firstChild->name, nullptr);
  EXPECT_EQ(findMember(array, "1"), nullptr);  // elements never match a key
  EXPECT_EQ(array->lastChild->next, nullptr);
}

TEST(JsonReader, WrongClosingBracketIsAnError) {
  EXPECT_FALSE(parses("{'a':[1}"));
  EXPECT_FALSE(parses("{'a':{'b':1]}"));
  EXPECT_FALSE(parses("{]"));
  EXPECT_FALSE(parses("{'a':}"));
  EXPECT_FALSE(parses("{'a':[+]}"));
}

TEST(JsonReader, ClosedContainersLinkOnlyToSiblings) {
  Parsed parsed("{'o':{'x':[{}, []]}, 'p':'q'}");
  ASSERT_NE(parsed.root, nullptr);
  const JsonNode* o = findMember(parsed.root, "o");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->next, findMember(parsed.root, "p"));
  const JsonNode* x = findMember(o, "x");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->next, nullptr);
  const JsonNode* inner = x->value.firstChild;
  EXPECT_EQ(inner->kind, JsonKind::Object);
  EXPECT_EQ(inner->value.firstChild, nullptr);
  EXPECT_EQ(inner->next->kind, JsonKind::Array);
  EXPECT_EQ(inner->next->next, nullptr);
  EXPECT_STREQ(memberText(parsed.root, "p"), "q");
}

TEST(JsonReader, IgnoresTextAfterTheRoot) {
  EXPECT_TRUE(parses("{'a':1} trailing { garbage \\"));
  EXPECT_TRUE(parses("{'a':1}}"));
}

TEST(JsonReader, UnclosedTextIsAnError) {
  for (const char* bad : {"{", "{'a':1", "{'a':[1,2]", "{'a':'x", "{'a':{}", "{'a':'x\\"})
    EXPECT_FALSE(parses(bad)) << bad;
}

TEST(JsonReader, PoolHoldsTheRootAnd2047Values) {
  auto arrayOf = [](int values) {
    std::string text = "{'a':[";  // the array itself is one value
    for (int i = 1; i < values; ++i) text += "0,";
    return text + "]}";
  };
  EXPECT_TRUE(parses(arrayOf(2047)));
  EXPECT_FALSE(parses(arrayOf(2048)));
  EXPECT_FALSE(Parsed("{}", 0).root);
  EXPECT_TRUE(Parsed("{}", 1).root);
  EXPECT_FALSE(Parsed("{'a':1}", 1).root);
}

TEST(JsonReader, DeepNestingNeedsNoRecursion) {
  std::string text = "{'a':" + std::string(2000, '[') + std::string(2000, ']') + "}";
  EXPECT_TRUE(parses(text));
}

TEST(JsonLookup, FirstOfDuplicateKeysWins) {
  Parsed ok("{'a':'first','a':'second','o':{},'o':'text','l':[1]}");
  ASSERT_NE(ok.root, nullptr);
  EXPECT_STREQ(memberText(ok.root, "a"), "first");
  EXPECT_EQ(findMember(ok.root, "o")->kind, JsonKind::Object);
  EXPECT_EQ(memberText(ok.root, "o"), nullptr);  // no search past a container
  EXPECT_EQ(memberText(ok.root, "l"), nullptr);
  EXPECT_EQ(memberText(ok.root, "A"), nullptr);
  EXPECT_EQ(findMember(findMember(ok.root, "a"), "x"), nullptr);  // not a container
}

namespace {

// Places texts so that their NUL is the last readable byte: a read past it faults.
class GuardedBuffer {
 public:
  GuardedBuffer() {
#if defined(__unix__)
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* area = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area != MAP_FAILED) {
      area_ = static_cast<char*>(area);
      mprotect(area_ + page_, page_, PROT_NONE);
    }
#endif
  }
  ~GuardedBuffer() {
#if defined(__unix__)
    if (area_) munmap(area_, 2 * page_);
#endif
  }
  // Heap fallback: exactly sized, so only a sanitizer sees an overrun.
  char* place(const std::string& text) {
    if (area_ == nullptr || text.size() + 1 > page_) {
      heap_.assign(text.begin(), text.end());
      heap_.push_back('\0');
      return heap_.data();
    }
    char* start = area_ + page_ - text.size() - 1;
    std::memcpy(start, text.c_str(), text.size() + 1);
    return start;
  }

 private:
  char* area_ = nullptr;
  std::size_t page_ = 0;
  std::vector<char> heap_;
};

}  // namespace

TEST(JsonReader, NeverReadsPastTheEndOfAnyCutText) {
  const std::string samples[] = {
      "{'a':'x\\u12Ab', 'b':-12.5e+3, 'c':[true,false,null,{'d':\"e\\\\\"}], 'f':9223372036854775807}",
      "{'s':'\\", "{'s':'\\u", "{'n':-", "{'n':1.", "{'n':1e", "{'n':1e-", "{'t':tru", "{'k' ",
  };
  GuardedBuffer guard;
  std::vector<JsonNode> nodes(64);
  for (const std::string& sample : samples) {
    for (std::size_t length = 0; length <= sample.size(); ++length) {
      char* text = guard.place(sample.substr(0, length));
      JsonNode* root = parseLayoutJson(text, nodes.data(), nodes.size());
      // Only the complete first sample closes its root.
      EXPECT_EQ(root != nullptr, length == sample.size() && &sample == &samples[0]) << sample.substr(0, length);
    }
  }
}

TEST(NumberConversion, UnsignedWithAutomaticBase) {
  EXPECT_EQ(toUnsigned32("0x80000000").value, 0x80000000u);
  EXPECT_EQ(toUnsigned32("0X1f").value, 0x1Fu);
  EXPECT_EQ(toUnsigned32("010").value, 8u);
  EXPECT_EQ(toUnsigned32("4096").value, 4096u);
  EXPECT_EQ(toUnsigned32("+0x00801000").value, 0x801000u);
  EXPECT_EQ(toUnsigned32(" \t12").value, 12u);
  EXPECT_EQ(toUnsigned32("-1").value, 0xFFFFFFFFu);
  EXPECT_EQ(toUnsigned32("0xFFFFFFFF").value, 0xFFFFFFFFu);
  EXPECT_FALSE(toUnsigned32("0xFFFFFFFF").overflow);
}

TEST(NumberConversion, StopsWhereTheNumberEnds) {
  const char* text = "4M";
  EXPECT_EQ(toUnsigned32(text).end, text + 1);
  const char* hexless = "0xg";
  ConvertedNumber zero = toUnsigned32(hexless);
  EXPECT_EQ(zero.value, 0u);
  EXPECT_EQ(zero.end, hexless + 1);  // the "0" is the number, "x" is not part of it
  const char* octal = "08";
  EXPECT_EQ(toUnsigned32(octal).end, octal + 1);
  const char* none = "K";
  EXPECT_EQ(toUnsigned32(none).end, none);
  const char* sign = "+";
  EXPECT_EQ(toUnsigned32(sign).end, sign);
}

TEST(NumberConversion, OverflowClampsAndIsReported) {
  ConvertedNumber big = toUnsigned32("0x100000000");
  EXPECT_TRUE(big.overflow);
  EXPECT_EQ(big.value, 0xFFFFFFFFu);
  EXPECT_TRUE(toUnsigned32("99999999999999999999999").overflow);
  EXPECT_EQ(static_cast<int32_t>(toSigned32("0x80000000").value), INT32_MAX);
  EXPECT_TRUE(toSigned32("0x80000000").overflow);
  EXPECT_EQ(static_cast<int32_t>(toSigned32("-0x80000000").value), INT32_MIN);
  EXPECT_FALSE(toSigned32("-0x80000000").overflow);
  EXPECT_EQ(static_cast<int32_t>(toSigned32("-5").value), -5);
  EXPECT_EQ(toSigned32("+3").value, 3u);
}
