// A model of the redirect table's matching rules, small enough to be
// obviously right: the whole file at once, no chunks, no skip table. The
// tests and the lookup's fuzz target hold the real lookup against it.
#ifndef LINKHOP_TABLE_MODEL_H
#define LINKHOP_TABLE_MODEL_H

#include <ostream>
#include <string>

namespace table_model {

const size_t kChunk = 4095;  // data bytes of one read of the lookup

struct Answer {
  int result;
  std::string value;
  bool operator==(const Answer &o) const { return result == o.result && value == o.value; }
};

inline std::ostream &operator<<(std::ostream &out, const Answer &a) {
  return out << "{" << a.result << ", \"" << a.value << "\" (" << a.value.size() << " bytes)}";
}

inline bool AsciiLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// What the lookup answers, worked out on the whole file at once.
// (A missing file, answered {1, ""}, is tested on its own.)
inline Answer TableModel(const std::string &file, const std::string &key) {
  std::string t;
  for (char c : file) {
    if (c == '\x1A') break;
    if (c != '\r') t += c;
  }
  // A line too long for the read buffer ends the table.
  for (size_t s = 0; s < t.size();) {
    size_t e = t.find('\n', s);
    if (e == std::string::npos) e = t.size();
    if (e - s >= kChunk) {
      t.resize(s);
      break;
    }
    s = e + 1;
  }
  if (key.empty() || key.size() > 256) return {0, ""};
  // A key holding a byte where the driver ends a query is never asked for.
  for (char c : key)
    if ((unsigned char)c < 32 || c == 127) return {0, ""};

  auto white = [&](size_t p) { return (unsigned char)t[p] <= 32; };
  auto sameAt = [&](size_t i) {
    for (size_t j = 0; j < key.size(); j++) {
      unsigned char a = (unsigned char)key[j], b = (unsigned char)t[i + j];
      if (a != b && !(AsciiLetter(a) && AsciiLetter(b) && (a | 0x20) == (b | 0x20))) return false;
    }
    return true;
  };
  for (size_t pos = 0;;) {
    size_t i = pos;
    while (i + key.size() <= t.size() && !sameAt(i)) i++;
    if (i + key.size() > t.size()) return {0, ""};
    size_t p = i + key.size();
    while (p < t.size() && white(p)) p++;
    if (p == t.size() || t[p] != '=') {
      pos = i + key.size();
      continue;
    }
    p++;
    while (p < t.size() && white(p)) p++;
    std::string value;
    while (p < t.size() && value.size() < 300 && (unsigned char)t[p] >= 32) value += t[p++];
    return {1, value};
  }
}

}  // namespace table_model

#endif
