// scan_bench - throughput of the key scanner alone (TESSEL/fastsrch).
//
// FastSearchFind runs over a table text of a few MB, "key = address" lines
// that never hold the key searched for, so every run walks the whole text:
// the cost of a miss, and of a hit on the table's last line. Keys of 1 to
// 256 bytes, letters in either case (mode 0, what the lookup uses) and
// exact (mode 1). MatchNoCase is measured on buffers that are equal, byte
// for byte or with every letter in the other case, so it compares them to
// the end.
#include <benchmark/benchmark.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fastsrch.h"
#include "tsl-core.h"

namespace {

constexpr size_t kTextBytes = 4u << 20;

// A small deterministic generator, so every run scans the same text.
struct Random {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return (uint32_t)(state >> 16);
  }
  int Below(int n) { return (int)(Next() % (uint32_t)n); }
};

// Table keys and addresses use no 'z' in either case; every key searched
// for starts with one, so it cannot occur in the text.
const char kLetters[] = "abcdefghijklmnopqrstuvwxy";
const char kWordBytes[] = "abcdefghijklmnopqrstuvwxy0123456789-_";

std::string Word(Random &random, int shortest, int longest) {
  std::string word;
  int n = shortest + random.Below(longest - shortest + 1);
  word += kLetters[random.Below(sizeof(kLetters) - 1)];
  while ((int)word.size() < n) word += kWordBytes[random.Below(sizeof(kWordBytes) - 1)];
  return word;
}

// Lines as the lookup sees them once carriage returns are dropped: a key,
// " = " and an address of a few path segments.
const std::string &TableText() {
  static const std::string text = [] {
    Random random;
    std::string t;
    t.reserve(kTextBytes + 512);
    while (t.size() < kTextBytes) {
      t += Word(random, 3, 14);
      t += " = https://";
      t += random.Below(4) == 0 ? "norvale.example" : Word(random, 4, 10) + ".example";
      int segments = 1 + random.Below(4);
      for (int i = 0; i < segments; i++) t += "/" + Word(random, 2, 12);
      if (random.Below(3) == 0) t += ".html";
      t += "\n";
    }
    t.resize(kTextBytes);
    return t;
  }();
  return text;
}

// A key of length bytes: 'z', then word bytes, ending in a letter that
// the text holds often, so that probes land on candidates as they do for
// real keys.
std::string MissingKey(int length) {
  Random random;
  random.state = 0xC0FFEEull + (uint64_t)length;
  std::string key = "z";
  while ((int)key.size() < length - 1) key += kWordBytes[random.Below(sizeof(kWordBytes) - 1)];
  if (length > 1) key += 'e';
  return key;
}

void BM_FastSearchFind(benchmark::State &state) {
  const std::string &text = TableText();
  const std::string key = MissingKey((int)state.range(0));
  FastSearch search;
  if (!FastSearchInit(&search, key.c_str(), (int)state.range(1))) {
    state.SkipWithError("key refused");
    return;
  }
  const char *start = text.data();
  const char *end = start + text.size();
  for (auto _ : state) {
    const char *occurrence;
    int found = FastSearchFind(&search, start, end, &occurrence);
    benchmark::DoNotOptimize(found);
    benchmark::DoNotOptimize(occurrence);
    if (found) {
      state.SkipWithError("the key occurs in the text");
      return;
    }
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
  state.SetLabel(state.range(1) == 1 ? "exact" : "either case");
}
BENCHMARK(BM_FastSearchFind)
    ->ArgNames({"key", "caseSensitive"})
    ->ArgsProduct({{1, 4, 16, 64, 256}, {0, 1}});

void BM_MatchNoCase(benchmark::State &state) {
  const int length = (int)state.range(0);
  const bool otherCase = state.range(1) == 1;
  std::vector<unsigned char> a(length), b(length);
  Random random;
  for (int i = 0; i < length; i++) {
    a[i] = (unsigned char)kWordBytes[random.Below(sizeof(kWordBytes) - 1)];
    b[i] = a[i];
    if (otherCase && a[i] >= 'a' && a[i] <= 'z') b[i] = (unsigned char)(a[i] - 32);
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(a.data());
    benchmark::DoNotOptimize(b.data());
    int match = MatchNoCase(a.data(), b.data(), length);
    benchmark::DoNotOptimize(match);
    if (!match) {
      state.SkipWithError("buffers differ");
      return;
    }
  }
  state.SetBytesProcessed((int64_t)state.iterations() * length);
  state.SetLabel(otherCase ? "letters in the other case" : "identical");
}
BENCHMARK(BM_MatchNoCase)
    ->ArgNames({"length", "otherCase"})
    ->ArgsProduct({{1, 4, 16, 64, 256}, {0, 1}});

}  // namespace

int main(int argc, char **argv) {
  // The scanner's pointer checks take the library's lock, as in the program.
  CoreStartup("debug.log", 0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  CoreShutdown();
  return 0;
}
