// The command-line tokeniser on any text and argument number, against a
// model that lists where every argument starts and copies by the rules in
// tsl-core.h. Input: [index byte][capacity byte][text...], the text cut at
// its first zero byte. The copy buffers end in canary bytes.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

const unsigned char kCanary = 0xA5;
const size_t kCanaryBytes = 16;

// Where each argument begins: argument 0 after the leading white space (at
// the terminator for a blank text), every further one after a run of white
// space outside quotes that the terminator does not end. White space is
// every byte from 1 to 32.
std::vector<size_t> ArgumentStarts(const std::string &text) {
  auto blank = [](unsigned char c) { return c >= 1 && c <= 32; };
  std::vector<size_t> starts;
  size_t i = 0;
  while (i < text.size() && blank(text[i])) i++;
  starts.push_back(i);
  bool quoted = false;
  while (i < text.size()) {
    if (text[i] == '"') quoted = !quoted;
    if (quoted || !blank(text[i])) {
      i++;
      continue;
    }
    while (i < text.size() && blank(text[i])) i++;
    if (i < text.size()) starts.push_back(i);
  }
  return starts;
}

// The copy from an argument's start: a byte below 32 ends it, a quote is
// dropped and a closing one ends it, a space ends it outside quotes.
std::string CopyArgument(const std::string &text, size_t start) {
  std::string out;
  bool quoted = false;
  for (size_t i = start; i < text.size() && (unsigned char)text[i] >= 32; i++) {
    if (text[i] == '"') {
      quoted = !quoted;
      if (!quoted) break;
    } else if (text[i] == ' ' && !quoted) {
      break;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool CanaryIntact(const std::vector<unsigned char> &buffer, size_t from) {
  for (size_t i = from; i < buffer.size(); i++)
    if (buffer[i] != kCanary) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzStartup("C:\\web\\cgi-bin\\prog.exe");
  if (size < 2) return 0;
  const int index = data[0] % 10 - 1;     // -1 to 8
  const int capacity = data[1] % 80 - 1;  // -1 to 78
  const std::string text((const char *)data + 2, strnlen((const char *)data + 2, size - 2));

  const std::vector<size_t> starts = ArgumentStarts(text);
  const bool listed = index >= 0 && (size_t)index < starts.size();
  const bool exists = listed && starts[index] < text.size();
  const std::string expected = exists ? CopyArgument(text, starts[index]) : "";

  const char *found = CmdLineFindArg(text.c_str(), index);
  FUZZ_CHECK(found == (listed ? text.c_str() + starts[index] : nullptr));

  // CmdLineGetArg: the buffer holds the whole text and its terminator.
  std::vector<unsigned char> out(text.size() + 1 + kCanaryBytes, kCanary);
  FUZZ_CHECK(CmdLineGetArg(text.c_str(), index, (char *)out.data()) == (exists ? 1 : 0));
  FUZZ_CHECK(strcmp((const char *)out.data(), expected.c_str()) == 0);
  FUZZ_CHECK(CanaryIntact(out, text.size() + 1));

  // CmdLineGetArgSized: capacity bytes and not one more.
  std::vector<unsigned char> sized((size_t)(capacity > 0 ? capacity : 0) + kCanaryBytes, kCanary);
  const int result = CmdLineGetArgSized(text.c_str(), index, (char *)sized.data(), capacity);
  FUZZ_CHECK(CanaryIntact(sized, (size_t)(capacity > 0 ? capacity : 0)));
  if (capacity <= 0) {
    FUZZ_CHECK(result == -1);
  } else if (!exists) {
    FUZZ_CHECK(result == 0 && sized[0] == 0);
  } else if (expected.size() + 1 > (size_t)capacity) {
    FUZZ_CHECK(result == -1 && sized[0] == 0);
  } else {
    FUZZ_CHECK(result == 1 && strcmp((const char *)sized.data(), expected.c_str()) == 0);
  }
  return 0;
}
