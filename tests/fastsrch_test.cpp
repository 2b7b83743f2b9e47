// Tests for TESSEL/fastsrch.cpp: the token scanner that finds a key in the
// redirect table, letters matching in either case or exactly.
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "fastsrch.h"
#include "test_support.h"
#include "tsl-core.h"
#include "tsl-os.h"

namespace {

const int kNoCase = 0;
const int kExact = 1;

class FastSearchTest : public CoreStartedTest {};

// Searches [from, to) of text; the occurrence's offset from text, or -1.
// The occurrence pointer must be null exactly when nothing is found.
int Find(const FastSearch &search, const std::string &text, size_t from, size_t to) {
  const char *occurrence = text.data();  // anything but null
  int found = FastSearchFind(&search, text.data() + from, text.data() + to, &occurrence);
  EXPECT_EQ(found == 1, occurrence != nullptr);
  EXPECT_TRUE(found == 0 || found == 1);
  return found ? (int)(occurrence - text.data()) : -1;
}

int Find(const FastSearch &search, const std::string &text) {
  return Find(search, text, 0, text.size());
}

bool SameNoCase(unsigned char a, unsigned char b) {
  auto letter = [](unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  return a == b || (letter(a) && letter(b) && (a | 0x20) == (b | 0x20));
}

// The first offset in [from, to) where the whole key fits and matches.
int NaiveFind(const std::string &key, int mode, const std::string &text, size_t from, size_t to) {
  if (key.empty()) return -1;
  for (size_t i = from; i + key.size() <= to; i++) {
    size_t j = 0;
    while (j < key.size() && (mode == kExact ? key[j] == text[i + j]
                                             : SameNoCase(key[j], text[i + j])))
      j++;
    if (j == key.size()) return (int)i;
  }
  return -1;
}

// A 256-byte key of varied letters and digits, the same on every run.
std::string LongKey(size_t length) {
  std::string key;
  for (size_t i = 0; i < length; i++) key += "abcdefghijKLMNOPQRST0123456789"[(i * 7 + i / 3) % 30];
  return key;
}

// ---- Finding ------------------------------------------------------------

TEST_F(FastSearchTest, FindsTheFirstOccurrenceInsideTheRange) {
  static const struct {
    const char *key;
    int mode;
    std::string text;
    int rangeEnd;  // -1: the whole text
    int expected;  // offset of the occurrence; -1: none
  } kCases[] = {
      {"abc", kNoCase, "xxabc", -1, 2},
      {"abc", kExact, "xxabc", -1, 2},
      {"abc", kNoCase, "ab", -1, -1},
      {"abc", kExact, "ab", -1, -1},
      {"abc", kNoCase, "xabcx", 3, -1},  // ends before the 'c'
      {"abc", kNoCase, "xabcx", 4, 1},   // ends right after it
      {"News", kNoCase, "the nEWS", -1, 4},
      {"News", kExact, "the nEWS", -1, -1},
      {"News", kExact, "the News", -1, 4},
      {"News", kExact, "the nEWS News", -1, 9},
      {"a[", kNoCase, "A{", -1, -1},  // brackets differ by 32 but are no letters
      {"a[", kNoCase, "A[", -1, 0},
      {"a[", kExact, "A[", -1, -1},
      {"@", kNoCase, "`", -1, -1},
      {"\xC4", kNoCase, "\xE4", -1, -1},
      {"\xE4", kNoCase, "x\xC4\xE4", -1, 2},
      {"aab", kNoCase, "aaab", -1, 1},
      {"xab", kNoCase, "aabxab", -1, 3},
      {"aa", kNoCase, "aaaa", -1, 0},
      {"b", kNoCase, "abcb", -1, 1},
      {"B", kNoCase, "abcb", -1, 1},
      {"b", kNoCase, "aBcb", -1, 1},
      {"B", kExact, "abcb", -1, -1},
      {"b", kExact, "aBcb", -1, 3},
      {"=", kNoCase, "a = b", -1, 2},
      {"z", kNoCase, "", -1, -1},
      {"zZ", kNoCase, "yZz", -1, 1},
      {"x", kNoCase, "abc", -1, -1},
      {"\xFF", kExact, "a\xFF", -1, 1},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(std::string(c.key) + " in " + c.text + " mode " + std::to_string(c.mode));
    FastSearch search;
    ASSERT_EQ(FastSearchInit(&search, c.key, c.mode), 1);
    size_t end = c.rangeEnd < 0 ? c.text.size() : (size_t)c.rangeEnd;
    EXPECT_EQ(Find(search, c.text, 0, end), c.expected);
  }
}

TEST_F(FastSearchTest, EmptyKeyIsRefusedAndFindsNothing) {
  for (int mode : {kNoCase, kExact, 7}) {
    FastSearch search;
    memset(&search, 0x5A, sizeof(search));
    EXPECT_EQ(FastSearchInit(&search, "", mode), 0);
    EXPECT_EQ(search.caseSensitive, mode);
    EXPECT_EQ(search.keyLength, 0);
    for (unsigned char b : search.key) ASSERT_EQ(b, 0);
    for (unsigned char d : search.shift) ASSERT_EQ(d, 0);
    EXPECT_EQ(Find(search, "abc"), -1);
    EXPECT_EQ(Find(search, ""), -1);
  }
}

TEST_F(FastSearchTest, KeyOf256BytesIsFoundWhereItOccursOnly) {
  const std::string key = LongKey(256);
  std::string upper = key;
  for (char &c : upper) c = (char)toupper((unsigned char)c);
  for (int mode : {kNoCase, kExact}) {
    SCOPED_TRACE(mode);
    FastSearch search;
    ASSERT_EQ(FastSearchInit(&search, key.c_str(), mode), 1);
    EXPECT_EQ(search.keyLength, 256);
    EXPECT_EQ(memcmp(search.key, key.data(), 256), 0);

    // Near misses: one byte changed at the start, the middle or the end.
    std::string text = "lead-in ";
    for (size_t at : {(size_t)0, (size_t)128, (size_t)255}) {
      std::string nearMiss = key;
      nearMiss[at] = '#';
      text += nearMiss + " ";
    }
    EXPECT_EQ(Find(search, text), -1);
    EXPECT_EQ(Find(search, key.substr(0, 255)), -1);
    EXPECT_EQ(Find(search, key), 0);
    EXPECT_EQ(Find(search, text + key + " tail"), (int)text.size());
    EXPECT_EQ(Find(search, text + key, 0, text.size() + 255), -1);
    EXPECT_EQ(Find(search, text + upper), mode == kNoCase ? (int)text.size() : -1);
  }
}

TEST_F(FastSearchTest, KeyOver256BytesIsRefusedAndFindsNothing) {
  for (size_t length : {257, 300, 1023}) {
    const std::string key = LongKey(length);
    FastSearch search;
    EXPECT_EQ(FastSearchInit(&search, key.c_str(), kNoCase), 0);
    EXPECT_EQ(search.keyLength, 0);
    EXPECT_EQ(Find(search, key), -1);
    EXPECT_EQ(Find(search, "x" + key + key), -1);
  }
}

// ---- The skip table ----------------------------------------------------------

// Each entry is the distance from the nearest position of its byte (a letter
// in either case unless exact) to the key's last position, or the key's
// length for bytes not in the key; kept in one byte, so 256 is stored as 0.
TEST_F(FastSearchTest, ShiftTableHoldsTheDistanceToTheLastPosition) {
  const std::string keys[] = {"abc",    "News", "aab", "xab",       "a[",          "aa",
                              "abcabc", "Zz=",  "\xC4x\xE4", LongKey(255), LongKey(256)};
  for (const std::string &key : keys) {
    for (int mode : {kNoCase, kExact, 2, -1}) {
      SCOPED_TRACE(key + " mode " + std::to_string(mode));
      FastSearch search;
      ASSERT_EQ(FastSearchInit(&search, key.c_str(), mode), 1);
      EXPECT_EQ(search.caseSensitive, mode);
      EXPECT_EQ(search.keyLength, (int)key.size());
      EXPECT_EQ(memcmp(search.key, key.data(), key.size()), 0);
      for (size_t i = key.size(); i < sizeof(search.key); i++) ASSERT_EQ(search.key[i], 0);
      const size_t last = key.size() - 1;
      for (int b = 0; b < 256; b++) {
        size_t distance = key.size();
        for (size_t i = 0; i <= last; i++) {
          bool same = mode == kExact ? (unsigned char)key[i] == b
                                     : SameNoCase((unsigned char)key[i], (unsigned char)b);
          if (same) distance = std::min(distance, last - i);
        }
        ASSERT_EQ(search.shift[b], (unsigned char)distance) << "byte " << b;
      }
    }
  }
}

// ---- Against a plain search --------------------------------------------------

// Random keys and texts over alphabets of one to three bytes, so that near
// misses and overlapping matches are frequent, in random ranges of the text:
// the scanner must give what a byte-by-byte search gives, so no skip ever
// jumps over a match, and nothing outside the range is looked at.
TEST_F(FastSearchTest, AgreesWithAPlainSearch) {
  const uint32_t seed = 20240611;
  std::mt19937 random(seed);
  const std::string pool = "aAbB[{@`\xC4\xE4=";
  auto pick = [&](size_t n) { return (size_t)(random() % n); };
  for (int round = 0; round < 30000; round++) {
    std::string alphabet;
    for (size_t n = 1 + pick(3); alphabet.size() < n;) alphabet += pool[pick(pool.size())];
    std::string key, text;
    size_t keyLength = pick(20) == 0 ? 100 + pick(157) : 1 + pick(5);
    for (size_t i = 0; i < keyLength; i++) key += alphabet[pick(alphabet.size())];
    // Now and then a long text, which the scanner searches with two probes
    // at once, and the key put in more than once: the first must win.
    size_t textLength = pick(4) == 0 ? 256 + pick(3000) : pick(keyLength + 30);
    for (size_t i = 0; i < textLength; i++) text += alphabet[pick(alphabet.size())];
    for (size_t n = pick(4) == 0 ? 1 + pick(3) : 0; n > 0 && !text.empty(); n--)
      text.insert(pick(text.size()), key);
    size_t from = pick(text.size() + 1);
    size_t to = from + pick(text.size() - from + 1);
    int mode = (int)pick(2);

    FastSearch search;
    ASSERT_EQ(FastSearchInit(&search, key.c_str(), mode), 1);
    int expected = NaiveFind(key, mode, text, from, to);
    ASSERT_EQ(Find(search, text, from, to), expected)
        << "seed " << seed << " round " << round << " mode " << mode << " key '" << key
        << "' text '" << text << "' range [" << from << ", " << to << ")";
  }
}

// ---- The compare operations ----------------------------------------------------

TEST(FastSearchMatchTest, ExactAndFoldedCompares) {
  static const struct {
    const char *a;
    const char *b;
    int n;
    int exact;
    int noCase;
  } kCases[] = {
      {"abc", "abc", 3, 1, 1},     {"abc", "ABC", 3, 0, 1},     {"aBc", "AbC", 3, 0, 1},
      {"abc", "abd", 3, 0, 0},     {"abc", "abd", 2, 1, 1},     {"x", "y", 0, 1, 1},
      {"azAZ", "AZaz", 4, 0, 1},   {"[", "{", 1, 0, 0},         {"@", "`", 1, 0, 0},
      {"^", "~", 1, 0, 0},         {"]", "}", 1, 0, 0},         {"\xC4", "\xE4", 1, 0, 0},
      {"\xC4", "\xC4", 1, 1, 1},   {"1", "Q", 1, 0, 0},         {"a b", "A B", 3, 0, 1},
      {"ab\0c", "AB\0C", 4, 0, 1}, {"ab\0c", "ab\0d", 4, 0, 0}, {"Xa", "xb", 2, 0, 0},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b + " n " + std::to_string(c.n));
    EXPECT_EQ(MatchExact((const unsigned char *)c.a, (const unsigned char *)c.b, c.n), c.exact);
    EXPECT_EQ(MatchNoCase((const unsigned char *)c.a, (const unsigned char *)c.b, c.n), c.noCase);
  }
}

// ---- Null pointers ---------------------------------------------------------------

class FastSearchDeathTest : public FastSearchTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FastSearchTest::SetUp();
  }
};

std::string NullReport(int line) {
  return "Internal error...\nASSERT:Pointer is NULL...\n       (..\\..\\TESSEL\\fastsrch/" +
         std::to_string(line) + ")\n";
}

TEST_F(FastSearchDeathTest, NullPointersEndTheProcessNamingTheirLine) {
  static FastSearch ready;
  static const char text[] = "abc";
  static const char *occurrence;
  ASSERT_EQ(FastSearchInit(&ready, "b", kNoCase), 1);
  static const struct {
    void (*call)();
    int line;
  } kCases[] = {
      {[] { FastSearchInit(nullptr, "abc", kNoCase); }, 82},
      {[] { FastSearchInit(nullptr, nullptr, kNoCase); }, 82},
      {[] { FastSearch s; FastSearchInit(&s, nullptr, kNoCase); }, 83},
      {[] { FastSearchFind(nullptr, text, text + 3, &occurrence); }, 130},
      {[] { FastSearchFind(nullptr, nullptr, nullptr, nullptr); }, 130},
      {[] { FastSearchFind(&ready, nullptr, text + 3, &occurrence); }, 131},
      {[] { FastSearchFind(&ready, nullptr, nullptr, nullptr); }, 131},
      {[] { FastSearchFind(&ready, text, nullptr, &occurrence); }, 132},
      {[] { FastSearchFind(&ready, text, text + 3, nullptr); }, 133},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EXIT(c.call(), testing::ExitedWithCode(1), LiteralRegex(NullReport(c.line)));
  }
}

}  // namespace
