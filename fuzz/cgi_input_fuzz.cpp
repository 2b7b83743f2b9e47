// The CGI gateway's request input: CONTENT_LENGTH, QUERY_STRING and the
// body on standard input, from the fuzzer's bytes, against a model of the
// rules in cgi.h. Input: [switches][CONTENT_LENGTH]\0[QUERY_STRING]\0[body];
// switch bit 0 leaves CONTENT_LENGTH unset, bit 1 QUERY_STRING, the other
// bits give the size of the pieces CgiReadQuery is asked for (0: all at
// once). Standard input is an unlinked temporary file, refilled per input.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cgi.h"
#include "fuzz_support.h"

namespace {

const size_t kReadMost = 2048;  // query bytes the reads go through at most

// CONTENT_LENGTH as atoi reads it, saturated at the 32-bit limits.
int ContentLength(const char *text) {
  long long n = strtoll(text, nullptr, 10);
  return n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : (int)n;
}

// A body in text mode: carriage returns dropped, a byte 0x1A ends it.
std::string TextMode(const std::string &raw) {
  std::string out;
  for (char c : raw) {
    if (c == '\x1A') break;
    if (c != '\r') out += c;
  }
  return out;
}

void PutOnStdin(const std::string &bytes) {
  static bool made = false;
  if (!made) {
    FILE *file = tmpfile();
    if (!file || dup2(fileno(file), STDIN_FILENO) < 0) abort();
    fclose(file);
    made = true;
  }
  if (ftruncate(STDIN_FILENO, 0) != 0 ||
      pwrite(STDIN_FILENO, bytes.data(), bytes.size(), 0) != (ssize_t)bytes.size() ||
      lseek(STDIN_FILENO, 0, SEEK_SET) != 0)
    abort();
}

// setenv keeps every value it was ever given, which would grow the process
// with each input; a variable lives in a fixed buffer of its own instead.
const size_t kValueMost = 8192;
struct Variable {
  const char *name;
  char text[kValueMost + 32];
};

void SetOrUnset(Variable &variable, const std::string &value, bool set) {
  unsetenv(variable.name);
  if (!set) return;
  snprintf(variable.text, sizeof(variable.text), "%s=%s", variable.name, value.c_str());
  putenv(variable.text);
}

// The next C text of the input, or the rest when no zero byte comes.
std::string NextText(const uint8_t *&data, size_t &size) {
  size_t n = strnlen((const char *)data, size);
  std::string text((const char *)data, std::min(n, kValueMost));
  n = n < size ? n + 1 : n;
  data += n;
  size -= n;
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzStartup("C:\\web\\cgi-bin\\prog.exe");
  if (size < 1) return 0;
  const unsigned switches = data[0];
  data++, size--;
  const std::string contentLength = NextText(data, size);
  const std::string queryString = NextText(data, size);
  const std::string body((const char *)data, size);
  static Variable contentLengthVariable = {"CONTENT_LENGTH", {0}};
  static Variable queryStringVariable = {"QUERY_STRING", {0}};
  SetOrUnset(contentLengthVariable, contentLength, !(switches & 1));
  SetOrUnset(queryStringVariable, queryString, !(switches & 2));
  PutOnStdin(body);

  const int n = (switches & 1) ? 0 : ContentLength(contentLength.c_str());
  FUZZ_CHECK(CgiInit() == 1);
  const long taken = (long)lseek(STDIN_FILENO, 0, SEEK_CUR);
  FUZZ_CHECK(taken <= (n > 0 ? n : 0));
  // What the reads must deliver: the query, or for a body too large to be
  // read at once, the text-mode bytes of the first n raw bytes.
  std::string expected;
  const char *query = nullptr;
  int length = 0;
  const int hasQuery = CgiGetQuery(&query, &length);
  if (n <= 0) {
    FUZZ_CHECK(query == getenv("QUERY_STRING"));
    FUZZ_CHECK(length == ((switches & 2) ? 0 : (int)queryString.size()));
    FUZZ_CHECK(taken == 0);
    expected = queryString;
  } else if (n <= CGI_BODY_QUEUE) {
    expected = TextMode(body.substr(0, (size_t)n));
    FUZZ_CHECK(query == cgiState.bodyBuffer);
    FUZZ_CHECK(length == (int)expected.size());
    FUZZ_CHECK(memcmp(query, expected.data(), expected.size()) == 0 && query[length] == 0);
    FUZZ_CHECK(cgiState.bodyRemaining == n - taken);
  } else {
    FUZZ_CHECK(query == nullptr && length == n && taken == 0);
    FUZZ_CHECK(cgiState.bodyRemaining == n);
    expected = TextMode(body.substr(0, (size_t)n));
  }
  FUZZ_CHECK(hasQuery == (length > 0 ? 1 : 0));

  // Read the query in pieces: each delivers the next bytes, and a piece
  // the deferred body cannot fill ends after what came, zero-filled.
  const size_t total = (size_t)length < kReadMost ? (size_t)length : kReadMost;
  const size_t piece = (switches >> 2) ? (switches >> 2) : (total ? total : 1);
  size_t position = 0;
  for (size_t done = 0; done < total; done += piece) {
    const size_t count = piece < total - done ? piece : total - done;
    std::vector<char> out(count, '\xEE');
    const int result = CgiReadQuery(out.data(), (int)count);
    const size_t delivered =
        position < expected.size() ? std::min(count, expected.size() - position) : 0;
    FUZZ_CHECK(result == (delivered == count ? 1 : 0));
    FUZZ_CHECK(memcmp(out.data(), expected.data() + position, delivered) == 0);
    for (size_t i = delivered; i < count; i++) FUZZ_CHECK(out[i] == 0);
    position += delivered;
    FUZZ_CHECK(cgiState.readPosition == (int)position);
  }
  // Asking for more than remains copies nothing.
  if (length < INT_MAX) {
    const int more = length - cgiState.readPosition + 1;
    if (more <= (int)kReadMost) {
      std::vector<char> out((size_t)more, '\xEE');
      FUZZ_CHECK(CgiReadQuery(out.data(), more) == 0);
      for (char c : out) FUZZ_CHECK(c == '\xEE');
    }
  }
  // However many reads, never more body bytes than CONTENT_LENGTH announced.
  FUZZ_CHECK(lseek(STDIN_FILENO, 0, SEEK_CUR) <= (n > 0 ? n : 0));
  char none = '\xEE';
  FUZZ_CHECK(CgiReadQuery(&none, 0) == 1 && none == '\xEE');
  return 0;
}
