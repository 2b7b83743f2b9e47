// csv - RFC 4180 records, read strictly (see csv.h).
#include "csv.h"

#include <errno.h>
#include <string.h>

namespace hoptool {

bool ReadCsv(std::istream &in, const std::string &name, std::vector<CsvRecord> *records,
             std::string *error) {
  enum { kStart, kPlain, kQuoted, kClosed } state = kStart;
  std::vector<std::string> fields;
  std::string field;
  int line = 1;
  bool started = false;  // the record has a byte, so an empty line is no record
  auto fail = [&](const char *why) {
    *error = name + ":" + std::to_string(line) + ": not CSV: " + why;
    return false;
  };
  auto endField = [&] {
    fields.push_back(std::move(field));
    field.clear();
    state = kStart;
  };
  auto endRecord = [&] {
    if (started) {
      endField();
      records->push_back({std::move(fields), line});
    }
    fields.clear();
    field.clear();
    started = false;
    state = kStart;
  };
  char buffer[1 << 16];
  for (;;) {
    in.read(buffer, sizeof(buffer));
    const std::streamsize n = in.gcount();
    if (n <= 0) break;
    for (std::streamsize i = 0; i < n; i++) {
      const char c = buffer[i];
      if (state == kQuoted) {
        if (c == '"') state = kClosed;
        else field += c;
        if (c == '\n') line++;
        continue;
      }
      if (state == kClosed && c == '"') {  // a doubled quote: one quote
        field += '"';
        state = kQuoted;
        continue;
      }
      if (c == '\r') {
        // A CR belongs to the line end that follows it; anywhere else it
        // is a byte of the field.
        const int next = i + 1 < n ? buffer[i + 1] : in.peek();
        if (next == '\n') continue;
      }
      if (c == '\n') {
        endRecord();
        line++;
        continue;
      }
      started = true;
      if (c == ',') {
        endField();
        continue;
      }
      if (state == kClosed) return fail("a byte after a closing quote");
      if (c == '"') {
        if (state == kPlain) return fail("a quote inside a field that does not start with one");
        state = kQuoted;
        continue;
      }
      state = kPlain;
      field += c;
    }
  }
  if (in.bad()) {
    *error = name + ": " + strerror(errno ? errno : EIO);
    return false;
  }
  if (state == kQuoted) {
    *error = name + ": not CSV: the input ends inside a quoted field";
    return false;
  }
  endRecord();
  return true;
}

}  // namespace hoptool
