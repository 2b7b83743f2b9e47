// The persistent program's requests, one after another in one process as a
// FastCGI server hands them over: the parameters as libfcgi's environment
// array, the body through libfcgi's own stream reader, the answer through
// its writer. Each answer must be the one a model of the driver gives for
// that request alone (nothing of one request reaches the next), the body
// must be taken to its announced end and never past it, the tracked heap
// must be back to zero blocks after each, and the failure line of a lost
// log line comes once. Input: requests one after another, each
//   [flags][QUERY_STRING: 2-byte length, bytes][CONTENT_LENGTH: 1-byte
//   length, text][REMOTE_ADDR: 1-byte length, bytes][body: 2-byte length,
//   bytes]
// a part present when its flag bit (1, 2, 4, 8) is set.
#include <fcgiapp.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kept.h"
#include "persist.h"
#include "winmain.h"

namespace {

const std::string kHit = "https://t.example/ab";
std::string programDir;  // <temporary folder>/cgi-bin, with a table and no logs/
std::string commandLine;

// The program's folder, with a table and no logs/ folder: every line is
// lost, so the log never grows, and each lost line must leave its one
// failure line.
void MakeProgramFolder() {
  programDir = FuzzProgramFolder();
  FILE *table = fopen((programDir + "/hopdata/config.txt").c_str(), "w");
  if (!table || fputs(("ab=" + kHit + "\n").c_str(), table) < 0 || fclose(table) != 0) abort();
  commandLine = programDir + "/linkhop";
}

// ---- libfcgi's streams over memory ------------------------------------------

struct Memory {
  std::string out, err;
};

void NoMore(FCGX_Stream *stream) { stream->isClosed = 1; }

void Empty(FCGX_Stream *stream, int) {
  std::string *sink = static_cast<std::string *>(stream->data);
  sink->append((const char *)stream->stopUnget, (size_t)(stream->wrNext - stream->stopUnget));
  stream->wrNext = stream->stopUnget;
}

void Reader(FCGX_Stream *stream, std::string &bytes) {
  memset(stream, 0, sizeof(*stream));
  stream->rdNext = stream->stopUnget = (unsigned char *)&bytes[0];
  stream->stop = (unsigned char *)&bytes[0] + bytes.size();
  stream->isReader = 1;
  stream->fillBuffProc = NoMore;
}

void Writer(FCGX_Stream *stream, unsigned char *buffer, size_t size, std::string *sink) {
  memset(stream, 0, sizeof(*stream));
  stream->wrNext = stream->stopUnget = buffer;
  stream->stop = buffer + size;
  stream->emptyBuffProc = Empty;
  stream->data = sink;
}

// ---- The model ----------------------------------------------------------------

int ContentLength(const std::string &text) {
  long long n = strtoll(text.c_str(), nullptr, 10);
  return n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : (int)n;
}

std::string Redirect(const std::string &target) {
  return "Status: 301 Moved Permanently\r\nURI: " + target + "\r\nLocation: " + target +
         "\r\nMethod: GET\r\n\r\n";
}

struct Request {
  bool hasQuery = false, hasLength = false, hasAddress = false;
  std::string query, length, address, body;
};

// What the driver answers for the request alone, and whether it logs.
std::string Expected(const Request &r, bool *logs) {
  *logs = false;
  std::string query;
  size_t announced;
  int n = r.hasLength ? ContentLength(r.length) : 0;
  if (n > 0) {
    // The body in text mode, no more of it than announced.
    for (char c : r.body.substr(0, (size_t)n)) {
      if (c == '\x1A') break;
      if (c != '\r') query += c;
    }
    announced = n > 512 ? (size_t)n : query.size();
  } else {
    query = r.hasQuery ? r.query.substr(0, r.query.find('\0')) : "";
    announced = query.size();
  }
  if (announced == 0) return "Content-Type: text/html\r\n\r\nUnable to locate any paramters!<BR>\r\n";
  if (announced >= 1024) return "Content-Type: text/html\r\n\r\nCGI response too long!<BR>\r\n";
  size_t cut = 0;
  while (cut < query.size() && (unsigned char)query[cut] >= 32 && query[cut] != 127) cut++;
  query.resize(cut);
  *logs = true;
  if (query.find('.') != std::string::npos) return Redirect(query);
  std::string lower;
  for (char c : query) lower += (char)tolower((unsigned char)c);
  if (lower == "ab" || lower == "b") return Redirect(kHit);
  return "Status: 404 Not Found\r\nContent-Type: text/html\r\n\r\nNo address for that key!<BR>\r\n";
}

bool Take(const uint8_t *&data, size_t &size, size_t widthBytes, std::string *out) {
  if (size < widthBytes) return false;
  size_t length = widthBytes == 1 ? data[0] : (size_t)data[0] << 8 | data[1];
  data += widthBytes;
  size -= widthBytes;
  length = std::min(length, size);
  out->assign((const char *)data, length);
  data += length;
  size -= length;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (programDir.empty()) {
    MakeProgramFolder();
    FuzzStartup(commandLine.c_str());
    LookupKeepTables(1);  // as the persistent program runs
  }
  for (int requests = 0; size > 0 && requests < 8; requests++) {
    Request r;
    uint8_t flags = *data++;
    size--;
    if (flags & 1) r.hasQuery = Take(data, size, 2, &r.query);
    if (flags & 2) r.hasLength = Take(data, size, 1, &r.length);
    if (flags & 4) r.hasAddress = Take(data, size, 1, &r.address);
    if (flags & 8) Take(data, size, 2, &r.body);

    // The parameters as libfcgi holds them: "NAME=value" texts, a value
    // ending at its first zero byte as a C text does.
    std::vector<std::string> pairs;
    if (r.hasQuery) pairs.push_back("QUERY_STRING=" + r.query);
    if (r.hasLength) pairs.push_back("CONTENT_LENGTH=" + r.length);
    if (r.hasAddress) pairs.push_back("REMOTE_ADDR=" + r.address);
    pairs.push_back("GATEWAY_INTERFACE=CGI/1.1");
    std::vector<char *> envp;
    for (auto &pair : pairs) envp.push_back(&pair[0]);
    envp.push_back(nullptr);

    std::string body = r.body;
    Memory memory;
    unsigned char outBuffer[512], errBuffer[128];
    FCGX_Stream in, out, err;
    Reader(&in, body);
    Writer(&out, outBuffer, sizeof(outBuffer), &memory.out);
    Writer(&err, errBuffer, sizeof(errBuffer), &memory.err);
    FCGX_Request request;
    memset(&request, 0, sizeof(request));
    request.in = &in;
    request.out = &out;
    request.err = &err;
    request.envp = envp.data();

    PersistentAnswer(&request, AnswerRequest);
    Empty(&out, 0);
    Empty(&err, 0);

    bool logs;
    FUZZ_CHECK(memory.out == Expected(r, &logs));
    FUZZ_CHECK(memoryState.blockCount == 0 && memoryState.bytesInUse == 0);
    const size_t taken = (size_t)(in.rdNext - (unsigned char *)&body[0]);
    const int n = r.hasLength ? ContentLength(r.length) : 0;
    FUZZ_CHECK(taken == (n > 0 ? std::min((size_t)n, body.size()) : 0));
    if (logs) {
      FUZZ_CHECK(memory.err.compare(0, 21, "linkhop: request log ") == 0);
      FUZZ_CHECK(memory.err.find('\n') == memory.err.size() - 1);
    } else {
      FUZZ_CHECK(memory.err.empty());
    }
  }
  return 0;
}
