// hoptool stats - reading the request logs.
//
// A log is read in large blocks and cut into lines by a vector scan for the
// first byte below 32 (a line's end, or a byte no line of the program's
// holds); each line is checked against the program's own format and
// counted, with no allocation per line: every distinct key, host and client
// address is stored once, in a table of its own, and the counts sit beside
// it. Memory thus grows with the distinct keys, hosts, client addresses and
// days, never with the number of lines. The work is shared among the
// cores, a day or a piece of a file at a time; each thread counts into
// tables of its own, merged at the end.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#if defined(__SSE2__) && defined(__GNUC__)
#include <emmintrin.h>
#endif

#include "stats.h"

namespace fs = std::filesystem;

namespace hopstats {

// ---- Days ---------------------------------------------------------------

static bool IsLeap(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

static int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Civil dates to a day count and back (the proleptic Gregorian calendar,
// counted in eras of 400 years).
int DayNumber(int year, int month, int day) {
  year -= month <= 2;
  const int era = (year >= 0 ? year : year - 399) / 400;
  const int yoe = year - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 1;  // 1 January 1970 is day 1
}

std::string DayText(int number) {
  const int z = number - 1 + 719468;
  const int era = (z >= 0 ? z : z - 146096) / 146097;
  const int doe = z - era * 146097;
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int mp = (5 * doy + 2) / 153;
  const int day = doy - (153 * mp + 2) / 5 + 1;
  const int month = mp < 10 ? mp + 3 : mp - 9;
  const int year = yoe + era * 400 + (month <= 2);
  char text[32];
  snprintf(text, sizeof(text), "%04d-%02d-%02d", year, month, day);
  return text;
}

static bool Digits(const char *p, int n, int *value) {
  *value = 0;
  for (int i = 0; i < n; i++) {
    if (p[i] < '0' || p[i] > '9') return false;
    *value = *value * 10 + (p[i] - '0');
  }
  return true;
}

static bool MakeDay(int year, int month, int day, int *number) {
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    return false;
  *number = DayNumber(year, month, day);
  return true;
}

bool ParseDay(const std::string &text, int *day) {
  int y, m, d;
  return text.size() == 10 && text[4] == '-' && text[7] == '-' && Digits(&text[0], 4, &y) &&
         Digits(&text[5], 2, &m) && Digits(&text[8], 2, &d) && MakeDay(y, m, d, day);
}

bool DayOfLogName(const std::string &name, int *day) {
  const size_t n = name.size();
  if (n < 12 || name.compare(n - 4, 4, ".log") != 0) return false;
  const char *p = name.data() + n - 12;
  if (n > 12 && p[-1] >= '0' && p[-1] <= '9') return false;
  int m, d, y;
  return Digits(p, 2, &m) && Digits(p + 2, 2, &d) && Digits(p + 4, 4, &y) && MakeDay(y, m, d, day);
}

// ---- Finding the logs ---------------------------------------------------

bool FindLogs(const std::vector<std::string> &paths, int from, int to,
              std::vector<LogFile> *logs, std::string *error) {
  std::set<std::string> seen;  // the same file named twice is read once
  auto add = [&](const fs::path &path, const std::string &shown, int day) -> bool {
    std::error_code code;
    const uint64_t size = fs::file_size(path, code);
    if (code) {
      *error = shown + ": " + code.message();
      return false;
    }
    fs::path real = fs::weakly_canonical(path, code);
    if (!seen.insert(code ? shown : real.string()).second) return true;
    if (day >= from && day <= to) logs->push_back({shown, day, size});
    return true;
  };
  for (const std::string &arg : paths) {
    std::error_code code;
    const fs::path path(arg);
    const fs::file_status status = fs::status(path, code);
    if (code || !fs::exists(status)) {
      *error = arg + ": " + (code ? code.message() : std::string(strerror(ENOENT)));
      return false;
    }
    if (fs::is_directory(status)) {
      // The logs of one server: its day files, in the folder itself.
      std::vector<std::pair<std::string, int>> found;
      fs::directory_iterator it(path, code), end;
      for (; !code && it != end; it.increment(code)) {
        const std::string name = it->path().filename().string();
        int day;
        std::error_code kind;
        if (DayOfLogName(name, &day) && it->is_regular_file(kind)) found.push_back({name, day});
      }
      if (code) {
        *error = arg + ": " + code.message();
        return false;
      }
      std::sort(found.begin(), found.end());
      for (const auto &entry : found) {
        fs::path file = path / entry.first;
        if (!add(file, file.string(), entry.second)) return false;
      }
    } else if (fs::is_regular_file(status)) {
      int day;
      if (!DayOfLogName(path.filename().string(), &day)) {
        *error = arg + ": not a day's log (its name must end in MMDDYYYY.log: the day comes from it)";
        return false;
      }
      if (!add(path, arg, day)) return false;
    } else {
      *error = arg + ": neither a log file nor a folder";
      return false;
    }
  }
  std::stable_sort(logs->begin(), logs->end(), [](const LogFile &a, const LogFile &b) {
    return a.day != b.day ? a.day < b.day : a.path < b.path;
  });
  return true;
}

// ---- Tables of distinct strings -----------------------------------------

static inline uint64_t Load64(const char *p) {
  uint64_t w;
  memcpy(&w, p, 8);
  return w;
}
static inline uint64_t Load32(const char *p) {
  uint32_t w;
  memcpy(&w, p, 4);
  return w;
}

// Keys and addresses are short: compared and hashed a word at a time, the
// last word overlapping the one before, with no call per string.
static inline bool SameBytes(const char *a, const char *b, size_t n) {
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8)
      if (Load64(a + i) != Load64(b + i)) return false;
    return Load64(a + n - 8) == Load64(b + n - 8);
  }
  if (n >= 4) return Load32(a) == Load32(b) && Load32(a + n - 4) == Load32(b + n - 4);
  for (size_t i = 0; i < n; i++)
    if (a[i] != b[i]) return false;
  return true;
}

static inline uint64_t Mix(uint64_t h, uint64_t w) {
  h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
  return h ^ (h >> 29);
}

// The hash of a string of at most 16 bytes, given as two words with zeros
// after its end.
static inline uint64_t HashShort(uint64_t low, uint64_t high, size_t n) {
  uint64_t h = Mix(Mix(0x243F6A8885A308D3ULL ^ n, low), high);
  h *= 0xFF51AFD7ED558CCDULL;
  return h ^ (h >> 32);
}

static inline uint64_t HashBytes(const char *p, size_t n) {
  if (n <= 16) {
    char padded[16] = {};
    memcpy(padded, p, n);
    return HashShort(Load64(padded), Load64(padded + 8), n);
  }
  uint64_t h = 0x243F6A8885A308D3ULL ^ n;
  const char *last = p + n - 8;
  for (; p < last; p += 8) h = Mix(h, Load64(p));
  h = Mix(h, Load64(last));
  h *= 0xFF51AFD7ED558CCDULL;
  return h ^ (h >> 32);
}

// Gives each distinct string a number, 0, 1, 2... in the order first seen.
// The bytes are kept once, one string after another. A slot of the hash
// table also holds a string's first 16 bytes, so that finding a short one
// (a client address, most keys) reads the slot and nothing else.
class StringTable {
 public:
  StringTable() : slots_(256) {}

  uint32_t Intern(const char *p, size_t n) { return Intern(p, n, HashBytes(p, n)); }

  // With the hash known: HashBytes(p, n).
  uint32_t Intern(const char *p, size_t n, uint64_t hash) {
    const uint32_t tag = (uint32_t)(hash >> 32);
    const size_t mask = slots_.size() - 1;
    for (size_t i = (size_t)hash & mask;; i = (i + 1) & mask) {
      const Slot &slot = slots_[i];
      if (slot.id == kEmpty) break;
      if (slot.tag == tag && slot.length == n &&
          (n <= kHead ? SameBytes(slot.head, p, n)
                      : SameBytes(slot.head, p, kHead) &&
                            SameBytes(bytes_.data() + offsets_[slot.id] + kHead, p + kHead,
                                      n - kHead)))
        return slot.id;
    }
    return Add(p, n, hash);
  }

#if defined(__SSE2__) && defined(__GNUC__)
  // The same as Intern, for a string in the reading buffer, where 16 bytes
  // can be read at p whatever n is: a short string is hashed and compared
  // as one 16-byte vector, with no loop and no call.
  uint32_t InternFromBuffer(const char *p, size_t n) {
    if (n > kHead) return Intern(p, n);
    const __m128i kept = _mm_cmplt_epi8(
        _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), _mm_set1_epi8((char)n));
    const __m128i text = _mm_and_si128(_mm_loadu_si128((const __m128i *)p), kept);
    const uint64_t hash = HashShort((uint64_t)_mm_cvtsi128_si64(text),
                                    (uint64_t)_mm_cvtsi128_si64(_mm_unpackhi_epi64(text, text)), n);
    const uint32_t tag = (uint32_t)(hash >> 32);
    const size_t mask = slots_.size() - 1;
    for (size_t i = (size_t)hash & mask;; i = (i + 1) & mask) {
      const Slot &slot = slots_[i];
      if (slot.id == kEmpty) break;
      if (slot.tag == tag && slot.length == n &&
          _mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_loadu_si128((const __m128i *)slot.head))) ==
              0xFFFF)
        return slot.id;
    }
    return Add(p, n, hash);
  }
#else
  uint32_t InternFromBuffer(const char *p, size_t n) { return Intern(p, n); }
#endif

 private:
  uint32_t Add(const char *p, size_t n, uint64_t hash) {
    const uint32_t id = (uint32_t)offsets_.size();
    offsets_.push_back(bytes_.size());
    lengths_.push_back((uint32_t)n);
    bytes_.append(p, n);
    if (2 * offsets_.size() > slots_.size()) {
      std::vector<Slot>(slots_.size() * 2).swap(slots_);
      for (uint32_t old = 0; old + 1 < offsets_.size(); old++) {
        const std::string_view s = At(old);
        Place(HashBytes(s.data(), s.size()), old);
      }
    }
    Place(hash, id);
    return id;
  }

 public:
  // Asks the processor to fetch the slot where the string with this hash
  // is looked for first, ahead of the lookup.
  void Prefetch(uint64_t hash) const {
#ifdef __GNUC__
    __builtin_prefetch(&slots_[(size_t)hash & (slots_.size() - 1)]);
#else
    (void)hash;
#endif
  }

  size_t size() const { return offsets_.size(); }
  std::string_view At(uint32_t id) const {
    return std::string_view(bytes_.data() + offsets_[id], lengths_[id]);
  }

 private:
  static constexpr uint32_t kEmpty = 0xFFFFFFFF;
  static constexpr size_t kHead = 16;
  struct Slot {
    uint32_t tag = 0;  // the hash's upper half
    uint32_t id = kEmpty;
    uint32_t length = 0;
    uint32_t unused = 0;
    char head[kHead] = {};  // the first bytes, zeros after a shorter string
  };

  void Place(uint64_t hash, uint32_t id) {
    const size_t mask = slots_.size() - 1;
    size_t i = (size_t)hash & mask;
    while (slots_[i].id != kEmpty) i = (i + 1) & mask;
    Slot &slot = slots_[i];
    slot.tag = (uint32_t)(hash >> 32);
    slot.id = id;
    slot.length = lengths_[id];
    memcpy(slot.head, bytes_.data() + offsets_[id], std::min<size_t>(lengths_[id], kHead));
  }

  std::vector<Slot> slots_;
  std::vector<size_t> offsets_;  // by id
  std::vector<uint32_t> lengths_;
  std::string bytes_;
};

// A set of 64-bit numbers (never all ones).
class NumberSet {
 public:
  NumberSet() : slots_(64, kEmpty) {}
  bool Insert(uint64_t v) {  // true when v is new
    size_t mask = slots_.size() - 1;
    size_t i = Spread(v) & mask;
    for (; slots_[i] != kEmpty; i = (i + 1) & mask)
      if (slots_[i] == v) return false;
    slots_[i] = v;
    if (2 * ++count_ > slots_.size()) {
      std::vector<uint64_t> old(slots_.size() * 2, kEmpty);
      old.swap(slots_);
      mask = slots_.size() - 1;
      for (uint64_t x : old)
        if (x != kEmpty) {
          size_t j = Spread(x) & mask;
          while (slots_[j] != kEmpty) j = (j + 1) & mask;
          slots_[j] = x;
        }
    }
    return true;
  }
  size_t size() const { return count_; }

 private:
  static constexpr uint64_t kEmpty = ~0ULL;
  static size_t Spread(uint64_t v) {
    v *= 0x9E3779B97F4A7C15ULL;
    return (size_t)(v ^ (v >> 29));
  }
  std::vector<uint64_t> slots_;
  size_t count_ = 0;
};

// Client addresses of at most 15 digits and full stops (IPv4 addresses,
// nearly all of them), each packed into a number of its own (see
// PackAddress) and kept with the last day it was seen on: sixteen bytes a
// slot, so that a busy site's clients stay in the processor's cache.
class PackedClients {
 public:
  PackedClients() : slots_(1024) {}

  void Prefetch(uint64_t code) const {
#ifdef __GNUC__
    __builtin_prefetch(&slots_[Index(code)]);
#else
    (void)code;
#endif
  }

  // Notes the client as seen on the day numbered mark (from 1); true when
  // it had not been seen on that day before.
  bool See(uint64_t code, uint32_t mark) {
    const size_t mask = slots_.size() - 1;
    for (size_t i = Index(code);; i = (i + 1) & mask) {
      Slot &slot = slots_[i];
      if (slot.code == 0) {
        slot.code = code;
        slot.mark = mark;
        if (4 * ++count_ > 3 * slots_.size()) Grow();  // three quarters full at most
        return true;
      }
      if (slot.code == code) {
        if (slot.mark == mark) return false;
        slot.mark = mark;
        return true;
      }
    }
  }

  template <typename F>
  void ForEach(F f) const {
    for (const Slot &slot : slots_)
      if (slot.code != 0) f(slot.code);
  }

 private:
  struct Slot {
    uint64_t code = 0;  // 0: empty
    uint32_t mark = 0;
  };
  size_t Index(uint64_t code) const {
    code *= 0x9E3779B97F4A7C15ULL;
    return (size_t)(code ^ (code >> 29)) & (slots_.size() - 1);
  }
  void Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot &slot : old)
      if (slot.code != 0) {
        size_t i = Index(slot.code);
        while (slots_[i].code != 0) i = (i + 1) & mask;
        slots_[i] = slot;
      }
  }
  std::vector<Slot> slots_;
  size_t count_ = 0;
};

// A client in a day's list: the packed number of an address of digits and
// full stops, whose lowest four bits are never 0; any other address as its
// number in a StringTable times 16.
constexpr int kTextClientShift = 4;

// ---- Counting lines -----------------------------------------------------

struct KeyCount {
  uint64_t hits = 0, misses = 0;
  uint32_t first = UINT32_MAX, last = 0;  // day indexes
};

struct HostCount {
  uint64_t requests = 0;
  uint32_t first = UINT32_MAX, last = 0;
};

struct DayCount {
  uint64_t hits = 0, misses = 0, explicit_ = 0, refused = 0, unreadable = 0;
  uint64_t clients = 0;  // when a day is read by one thread alone
};

// The value of each byte as an upper-case hexadecimal digit; -1 for any
// other byte.
struct HexDigits {
  int8_t value[256];
  constexpr HexDigits() : value() {
    for (int i = 0; i < 256; i++) value[i] = -1;
    for (int i = 0; i < 10; i++) value['0' + i] = (int8_t)i;
    for (int i = 0; i < 6; i++) value['A' + i] = (int8_t)(10 + i);
  }
};
static constexpr HexDigits kHexDigits;

// A minute stamp: eight upper-case hexadecimal digits.
static inline bool ParseStamp(const char *p, uint32_t *value) {
  uint32_t v = 0;
  int bad = 0;
  for (int i = 0; i < 8; i++) {
    const int digit = kHexDigits.value[(unsigned char)p[i]];
    bad |= digit;  // negative for a byte that is no digit
    v = v << 4 | (uint32_t)(digit & 15);
  }
  *value = v;
  return bad >= 0;
}

// The client address at p when it is 1 to 15 digits and full stops followed
// by a space (an IPv4 address, or text like one), packed four bits a byte
// into a number that no other such text has: a digit as 1 to 10, a full
// stop as 15, nothing after the end as 0. Returns where the address ends,
// or null for any other address. Reads 16 bytes at p.
static inline const char *PackAddress(const char *p, uint64_t *code) {
#if defined(__SSE2__) && defined(__GNUC__)
  const __m128i bytes = _mm_loadu_si128((const __m128i *)p);
  const unsigned spaces = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')));
  const __m128i digits =
      _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(bytes, _mm_set1_epi8('0')), bytes),
                    _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8('9')), bytes));
  const unsigned accepted = (unsigned)_mm_movemask_epi8(
      _mm_or_si128(digits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
  const unsigned n = spaces ? (unsigned)__builtin_ctz(spaces) : 16;
  const unsigned before = (1u << n) - 1;
  if (n == 0 || n == 16 || (accepted & before) != before) return nullptr;
  const __m128i kept = _mm_cmplt_epi8(
      _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), _mm_set1_epi8((char)n));
  const __m128i nibbles = _mm_and_si128(
      _mm_add_epi8(_mm_and_si128(bytes, _mm_set1_epi8(0x0F)), _mm_set1_epi8(1)), kept);
  // Each pair of bytes into one: the first in the low four bits.
  const __m128i pairs =
      _mm_or_si128(_mm_and_si128(nibbles, _mm_set1_epi16(0x000F)),
                   _mm_and_si128(_mm_srli_epi16(nibbles, 4), _mm_set1_epi16(0x00F0)));
  *code = (uint64_t)_mm_cvtsi128_si64(_mm_packus_epi16(pairs, pairs));
  return p + n;
#else
  uint64_t v = 0;
  unsigned n = 0;
  for (; n < 16 && p[n] != ' '; n++) {
    const char c = p[n];
    if (c != '.' && (c < '0' || c > '9')) return nullptr;
    v |= (uint64_t)((c & 0x0F) + 1) << (4 * n);
  }
  if (n == 0 || n == 16) return nullptr;
  *code = v;
  return p + n;
#endif
}

#if defined(__SSE2__) && defined(__GNUC__)
// Bit i set when byte i of the 16 at p is c.
static inline unsigned Matches16(const char *p, char c) {
  const __m128i bytes = _mm_loadu_si128((const __m128i *)p);
  return (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)));
}
#endif

// The key at p runs to the first "] " before end; returns where, or null
// without one. *fullStop tells whether the key holds a full stop. May read
// up to 16 bytes past end.
static inline const char *FindKeyEnd(const char *p, const char *end, bool *fullStop) {
#if defined(__SSE2__) && defined(__GNUC__)
  unsigned dots = 0;
  for (;; p += 16) {
    if (end - p < 2) return nullptr;
    // Brackets where "] " can start: with a byte of the line after them.
    const size_t room = (size_t)(end - p) - 1;
    unsigned brackets = Matches16(p, ']');
    const unsigned fullStops = Matches16(p, '.');
    if (room < 16) brackets &= (1u << room) - 1;
    for (; brackets; brackets &= brackets - 1) {
      const unsigned i = (unsigned)__builtin_ctz(brackets);
      if (p[i + 1] == ' ') {
        *fullStop = dots != 0 || (fullStops & ((1u << i) - 1)) != 0;
        return p + i;
      }
    }
    dots |= fullStops;
    if (room <= 16) return nullptr;
  }
#else
  bool dot = false;
  for (; p + 1 < end; p++) {
    if (p[0] == ']' && p[1] == ' ') {
      *fullStop = dot;
      return p;
    }
    dot |= p[0] == '.';
  }
  return nullptr;
#endif
}

static inline bool IsSchemeByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '.';
}

// What one thread has counted, in tables of its own, merged at the end.
//
// A thread reads the lines of a day one after another, never mixed with
// another day's (see ReadLogs). So a client is new to the day exactly when
// the day it was last seen on is another one, and each thread counts (or
// lists) every day's clients without a set of pairs.
class alignas(64) Tally {  // its own cache lines: each thread writes its own
 public:
  // With listClients, each day's clients are listed, for a day that other
  // threads read too; otherwise only counted.
  Tally(size_t days, bool listClients)
      : days_(days), dayClients_(listClients ? days : 0), listClients_(listClients) {}

  void StartSegment(uint32_t day) { day_ = day; }  // its lines are all of one day
  void Unreadable() { days_[day_].unreadable++; }

  // Reads the line [p, end), which holds no byte below 32 (its line end is
  // left out); false, counting nothing, when it is not a line the program
  // writes. A line is counted a few lines later, once the slot of its
  // client address has been fetched: its bytes must stay in place until
  // Flush.
  bool Line(const char *p, const char *end) {
    if (waiting_ == kAhead) {  // the oldest is counted, and its place taken
      Count(pending_[next_]);
      waiting_--;
    }
    Parsed &line = pending_[next_];
    if (!Parse(p, end, &line)) return false;
    if (line.isPacked) packed_.Prefetch(line.code);
    else clients_.Prefetch(line.clientHash);
    waiting_++;
    next_ = (next_ + 1) % kAhead;
    return true;
  }

  // Counts the lines read and not counted yet.
  void Flush() {
    for (size_t i = 0; i < waiting_; i++) Count(pending_[(next_ + kAhead - waiting_ + i) % kAhead]);
    waiting_ = 0;
  }

 private:
  friend void Merge(const std::vector<Tally> &, const std::vector<int> &, Report *);

  struct Parsed {
    const char *client, *key, *target;
    uint32_t clientLength, keyLength, targetLength;
    uint32_t stamp;
    bool isExplicit, isRefused, isPacked;
    uint64_t code;  // of a packed address
    uint64_t clientHash;
  };
  static constexpr size_t kAhead = 8;  // lines read ahead of the one counted

  // The byte at end is below 32 (the line's end): the reading of a line
  // stops there at the latest. The buffer holds 16 more bytes after it.
  bool Parse(const char *p, const char *end, Parsed *line) {
    // The shortest line: "a 00000000 [k] ".
    if (end - p < 15) return false;
    // The client address runs to the first space. IPv4 addresses are kept
    // packed into numbers, any other address as text.
    const char *space = PackAddress(p, &line->code);
    line->isPacked = space != nullptr;
    if (!space) space = (const char *)memchr(p, ' ', (size_t)(end - p));
    if (!space || space == p || end - space < 14) return false;
    const char *stampText = space + 1;
    // Lines of the same minute follow one another: a stamp is read once.
    const uint64_t stampBytes = Load64(stampText);
    if (stampBytes == lastStampBytes_) {
      line->stamp = lastStamp_;
    } else {
      if (!ParseStamp(stampText, &line->stamp)) return false;
      lastStampBytes_ = stampBytes;
      lastStamp_ = line->stamp;
    }
    if (stampText[8] != ' ' || stampText[9] != '[') return false;
    // A key never holds a full stop: the program takes such a query for an
    // explicit address.
    const char *key = stampText + 10;
    bool fullStop = false;
    const char *keyEnd = FindKeyEnd(key, end, &fullStop);
    if (!keyEnd || keyEnd == key || fullStop) return false;
    line->client = p;
    line->clientLength = (uint32_t)(space - p);
    if (!line->isPacked) line->clientHash = HashBytes(p, line->clientLength);
    line->key = key;
    line->keyLength = (uint32_t)(keyEnd - key);
    line->target = keyEnd + 2;
    line->targetLength = (uint32_t)(end - line->target);
    // [Explicit] with an address holding a full stop is an explicit
    // address; without one it can only be the key Explicit.
    // [Refused], an explicit address the operator's list refused, likewise.
    const bool address = memchr(line->target, '.', line->targetLength) != nullptr;
    line->isExplicit = address && line->keyLength == 8 && memcmp(key, "Explicit", 8) == 0;
    line->isRefused = address && line->keyLength == 7 && memcmp(key, "Refused", 7) == 0;
    return true;
  }

  void Count(const Parsed &line) {
    DayCount &day = days_[day_];
    if (line.isExplicit || line.isRefused) {
      (line.isExplicit ? day.explicit_ : day.refused)++;
      StringTable &hosts = line.isExplicit ? hosts_ : refusedHosts_;
      std::vector<HostCount> &counts = line.isExplicit ? hostCounts_ : refusedCounts_;
      const uint32_t id = HostOf(line.target, line.target + line.targetLength, &hosts);
      if (id >= counts.size()) counts.resize(id + 1);
      HostCount &host = counts[id];
      host.requests++;
      host.first = std::min(host.first, day_);
      host.last = std::max(host.last, day_);
    } else {
      const uint32_t id = keys_.InternFromBuffer(line.key, line.keyLength);
      if (id >= keyCounts_.size()) keyCounts_.resize(id + 1);
      KeyCount &count = keyCounts_[id];
      if (line.targetLength > 0) {
        count.hits++;
        day.hits++;
      } else {
        count.misses++;
        day.misses++;
      }
      count.first = std::min(count.first, day_);
      count.last = std::max(count.last, day_);
    }
    if (!line.isRefused) hours_[line.stamp % 1440 / 60]++;  // requests answered

    if (line.isPacked) {
      if (packed_.See(line.code, day_ + 1)) NewClient(line.code);
    } else {
      const uint32_t client = clients_.Intern(line.client, line.clientLength, line.clientHash);
      if (client >= clientDay_.size()) clientDay_.resize(client + 1, 0);
      if (clientDay_[client] != day_ + 1) {
        clientDay_[client] = day_ + 1;
        NewClient((uint64_t)client << kTextClientShift);
      }
    }
  }

  void NewClient(uint64_t client) {  // new to the day
    if (listClients_) dayClients_[day_].push_back(client);
    else days_[day_].clients++;
  }

  // The host of an explicit address: without a scheme (https://) or user
  // (name@), up to the first / ? or #, in lower case.
  uint32_t HostOf(const char *p, const char *end, StringTable *hosts) {
    const char *c = p;
    while (c < end && IsSchemeByte(*c)) c++;
    if (c > p && end - c >= 3 && c[0] == ':' && c[1] == '/' && c[2] == '/') p = c + 3;
    else if (end - p >= 2 && p[0] == '/' && p[1] == '/') p += 2;
    const char *hostEnd = p, *user = nullptr;
    bool capital = false;
    for (; hostEnd < end; hostEnd++) {
      const char c = *hostEnd;
      if (c == '/' || c == '?' || c == '#' || c == '\\') break;
      if (c == '@') user = hostEnd;
      capital |= c >= 'A' && c <= 'Z';
    }
    if (user) p = user + 1;
    if (!capital) return hosts->InternFromBuffer(p, (size_t)(hostEnd - p));
    host_.assign(p, hostEnd);
    for (char &ch : host_)
      if (ch >= 'A' && ch <= 'Z') ch = (char)(ch - 'A' + 'a');
    return hosts->Intern(host_.data(), host_.size());
  }

  std::vector<DayCount> days_;
  uint32_t day_ = 0;
  StringTable keys_, hosts_, refusedHosts_;
  std::vector<KeyCount> keyCounts_;
  std::vector<HostCount> hostCounts_, refusedCounts_;
  PackedClients packed_;
  StringTable clients_;                            // the other client addresses
  std::vector<uint32_t> clientDay_;                // by number in clients_: the last day seen, plus 1
  std::vector<std::vector<uint64_t>> dayClients_;  // by day: its clients (see kTextClientShift)
  bool listClients_;
  std::array<uint64_t, 24> hours_{};
  std::string host_;
  uint64_t lastStampBytes_ = 0;  // the last stamp read, as text (never all zeros) and value
  uint32_t lastStamp_ = 0;
  Parsed pending_[kAhead];  // read, not counted yet
  size_t next_ = 0, waiting_ = 0;
};

// ---- Reading files ------------------------------------------------------

enum : size_t {
  kBlock = 1 << 18,        // bytes per read
  kLongestLine = 1 << 16,  // a longer line is unreadable (the program's are < 2100)
  kSegment = 8 << 20,      // files are shared out among threads in pieces of this size
  kSlack = 64              // after a block: a line feed that ends every scan, and room to read past it
};
constexpr size_t kExcerpt = 60;

// The first byte below 32 at or after p: a line's end, or a byte no line
// of the program's holds. There must be one before the end of the buffer,
// and 15 bytes readable after it.
static inline const char *FindControl(const char *p) {
#if defined(__SSE2__) && defined(__GNUC__)
  const __m128i limit = _mm_set1_epi8(31);
  for (;; p += 16) {
    const __m128i bytes = _mm_loadu_si128((const __m128i *)p);
    const int below = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(bytes, limit), bytes));
    if (below) return p + __builtin_ctz((unsigned)below);
  }
#else
  while ((unsigned char)*p >= 32) p++;
  return p;
#endif
}

// A piece of a file: the lines that start in [begin, end).
struct Segment {
  size_t file;
  uint64_t begin, end;
};

struct SegmentResult {
  uint64_t lines = 0, unreadable = 0;
  std::vector<BadLine> bad;  // line numbers within the segment, from 1
};

static bool Seek(FILE *file, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, (long long)offset, SEEK_SET) == 0;
#else
  return fseeko(file, (off_t)offset, SEEK_SET) == 0;
#endif
}

// The line [p, p + n) (without its line feed) is unreadable.
static void NoteUnreadable(SegmentResult *result, Tally *tally, const char *p, size_t n) {
  result->unreadable++;
  tally->Unreadable();
  if (n > 0 && p[n - 1] == '\r') n--;
  if (result->bad.size() < kListedPerFile)
    result->bad.push_back({result->lines, std::string(p, std::min(n, kExcerpt))});
}

// Counts the lines of one segment into tally.
static bool ReadSegment(const LogFile &log, const Segment &segment, Tally *tally,
                        SegmentResult *result, std::vector<char> *buffer,
                        std::atomic<uint64_t> *done, std::string *error) {
  FILE *file = fopen(log.path.c_str(), "rb");
  if (!file) {
    *error = log.path + ": " + strerror(errno);
    return false;
  }
  setvbuf(file, nullptr, _IONBF, 0);  // reads go straight into the buffer
  // A segment after the first starts after the first line feed at or past
  // begin - 1: the line running into it belongs to the segment before.
  uint64_t offset = segment.begin > 0 ? segment.begin - 1 : 0;  // of buf[0]
  bool skipping = segment.begin > 0;  // dropping bytes up to a line feed
  if (offset > 0 && !Seek(file, offset)) {
    *error = log.path + ": " + strerror(errno);
    fclose(file);
    return false;
  }
  char *const buf = buffer->data();
  size_t kept = 0;  // bytes of an unfinished line at the start of buf
  bool ok = true;
  for (;;) {
    const size_t got = fread(buf + kept, 1, kBlock, file);
    if (got < kBlock && ferror(file)) {
      *error = log.path + ": " + strerror(errno);
      ok = false;
      break;
    }
    done->fetch_add(got, std::memory_order_relaxed);
    const bool atEnd = got < kBlock;
    char *const end = buf + kept + got;
    *end = '\n';  // stops every scan for a line's end
    const char *p = buf;
    bool finished = false;
    if (skipping) {
      const char *lf = (const char *)memchr(p, '\n', (size_t)(end - p));
      if (lf) {
        skipping = false;
        p = lf + 1;
      } else {
        // Whatever line starts after this one starts past the segment.
        p = end;
        finished = offset + (uint64_t)(end - buf) >= segment.end;
      }
    }
    while (!skipping) {
      if (offset + (uint64_t)(p - buf) >= segment.end) {
        finished = true;
        break;
      }
      const char *c = FindControl(p);
      if (c == end) break;  // the line goes on in the next block
      if (*c == '\n' || (*c == '\r' && c + 1 < end && c[1] == '\n')) {
        result->lines++;
        if ((size_t)(c - p) > kLongestLine || !tally->Line(p, c))
          NoteUnreadable(result, tally, p, (size_t)(c - p));
        p = c + 1 + (*c == '\r');
      } else {
        // A byte no line of the program's holds (or a carriage return
        // whose line feed is still to be read).
        const char *lf = (const char *)memchr(c, '\n', (size_t)(end - c));
        if (!lf) break;
        result->lines++;
        NoteUnreadable(result, tally, p, (size_t)(lf - p));
        p = lf + 1;
      }
    }
    tally->Flush();  // the buffer is about to be reused
    size_t rest = (size_t)(end - p);
    if (finished || (skipping && atEnd)) break;
    if (atEnd) {
      if (rest > 0) {  // a last line without its line feed
        result->lines++;
        NoteUnreadable(result, tally, p, rest);
      }
      break;
    }
    if (!skipping && rest > kLongestLine) {
      // No line of the program's is this long: unreadable, and the rest of
      // it up to its line feed is dropped.
      result->lines++;
      NoteUnreadable(result, tally, p, rest);
      skipping = true;
    }
    if (skipping) rest = 0;
    memmove(buf, p, rest);
    offset += (uint64_t)(end - buf) - rest;
    kept = rest;
  }
  fclose(file);
  return ok;
}

// ---- Merging what the threads counted -----------------------------------

void Merge(const std::vector<Tally> &tallies, const std::vector<int> &dayList, Report *report) {
  StringTable keys, hosts, refusedHosts, clients;
  NumberSet packed;
  std::vector<KeyCount> keyCounts;
  std::vector<HostCount> hostCounts, refusedCounts;
  auto join = [](auto &into, const auto &from) {
    into.first = std::min(into.first, from.first);
    into.last = std::max(into.last, from.last);
  };
  std::vector<std::vector<uint32_t>> clientIds(tallies.size());  // a thread's numbers to ours
  for (size_t t = 0; t < tallies.size(); t++) {
    const Tally &tally = tallies[t];
    for (uint32_t id = 0; id < tally.keys_.size(); id++) {
      const std::string_view s = tally.keys_.At(id);
      const uint32_t g = keys.Intern(s.data(), s.size());
      if (g >= keyCounts.size()) keyCounts.resize(g + 1);
      keyCounts[g].hits += tally.keyCounts_[id].hits;
      keyCounts[g].misses += tally.keyCounts_[id].misses;
      join(keyCounts[g], tally.keyCounts_[id]);
    }
    auto joinHosts = [&](StringTable &into, std::vector<HostCount> &counts,
                         const StringTable &from, const std::vector<HostCount> &fromCounts) {
      for (uint32_t id = 0; id < from.size(); id++) {
        const std::string_view s = from.At(id);
        const uint32_t g = into.Intern(s.data(), s.size());
        if (g >= counts.size()) counts.resize(g + 1);
        counts[g].requests += fromCounts[id].requests;
        join(counts[g], fromCounts[id]);
      }
    };
    joinHosts(hosts, hostCounts, tally.hosts_, tally.hostCounts_);
    joinHosts(refusedHosts, refusedCounts, tally.refusedHosts_, tally.refusedCounts_);
    clientIds[t].resize(tally.clients_.size());
    for (uint32_t id = 0; id < tally.clients_.size(); id++) {
      const std::string_view s = tally.clients_.At(id);
      clientIds[t][id] = clients.Intern(s.data(), s.size());
    }
    tally.packed_.ForEach([&](uint64_t code) { packed.Insert(code); });
    for (int h = 0; h < 24; h++) report->hours[h] += tally.hours_[h];
  }

  for (uint32_t id = 0; id < keys.size(); id++) {
    KeyRow row;
    row.key = std::string(keys.At(id));
    row.hits = keyCounts[id].hits;
    row.misses = keyCounts[id].misses;
    row.first = dayList[keyCounts[id].first];
    row.last = dayList[keyCounts[id].last];
    report->keys.push_back(std::move(row));
  }
  auto hostRows = [&](const StringTable &table, const std::vector<HostCount> &counts,
                      std::vector<HostRow> *rows) {
    for (uint32_t id = 0; id < table.size(); id++) {
      HostRow row;
      row.host = std::string(table.At(id));
      row.requests = counts[id].requests;
      row.first = dayList[counts[id].first];
      row.last = dayList[counts[id].last];
      rows->push_back(std::move(row));
    }
  };
  hostRows(hosts, hostCounts, &report->hosts);
  hostRows(refusedHosts, refusedCounts, &report->refusedHosts);
  report->clients = packed.size() + clients.size();

  // A day's clients: counted by the thread that read the whole day, or
  // listed, each once, by every thread that read a part of it; a client in
  // the lists of two threads is counted once.
  for (uint32_t d = 0; d < dayList.size(); d++) {
    DayRow row;
    row.day = dayList[d];
    size_t lists = 0;
    for (const Tally &tally : tallies) {
      row.hits += tally.days_[d].hits;
      row.misses += tally.days_[d].misses;
      row.explicit_ += tally.days_[d].explicit_;
      row.refused += tally.days_[d].refused;
      row.unreadable += tally.days_[d].unreadable;
      row.clients += tally.days_[d].clients;
      if (!tally.dayClients_.empty()) {
        lists += !tally.dayClients_[d].empty();
        row.clients += tally.dayClients_[d].size();
      }
    }
    if (lists > 1) {
      NumberSet seen;
      for (size_t t = 0; t < tallies.size(); t++)
        for (uint64_t client : tallies[t].dayClients_[d])
          seen.Insert(client & 15 ? client
                                  : (uint64_t)clientIds[t][client >> kTextClientShift]
                                        << kTextClientShift);
      row.clients = seen.size();
    }
    report->hits += row.hits;
    report->misses += row.misses;
    report->explicit_ += row.explicit_;
    report->refused += row.refused;
    report->days.push_back(row);
  }
}

// ---- Reading them all ---------------------------------------------------

bool ReadLogs(const std::vector<LogFile> &logs, bool progress, Report *report,
              std::string *error) {
  std::vector<int> dayList;  // the distinct days, in order
  std::vector<uint32_t> dayIndex(logs.size());
  for (size_t i = 0; i < logs.size(); i++) {
    if (dayList.empty() || dayList.back() != logs[i].day) dayList.push_back(logs[i].day);
    dayIndex[i] = (uint32_t)(dayList.size() - 1);
  }
  // How the work is shared out. With many days, a thread takes a whole day
  // at a time, all its files: each day's clients are then listed by one
  // thread alone, and the threads' lists need no merging. With few days,
  // files are cut into segments, so that every core gets a share.
  const unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
  const bool wholeDays = cores == 1 || dayList.size() >= 4 * cores;
  std::vector<Segment> segments;  // in the order of the files, each file's in order
  std::vector<size_t> units;      // where each unit of work starts in segments
  uint64_t total = 0;
  for (size_t i = 0; i < logs.size(); i++) {
    const uint64_t size = logs[i].size;
    total += size;
    if (wholeDays) {
      if (i == 0 || logs[i].day != logs[i - 1].day) units.push_back(segments.size());
      segments.push_back({i, 0, size});
      continue;
    }
    uint64_t begin = 0;
    do {
      const uint64_t end = size - begin > kSegment + kSegment / 2 ? begin + kSegment : size;
      units.push_back(segments.size());
      segments.push_back({i, begin, end});
      begin = end;
    } while (begin < size);
  }
  const size_t unitCount = units.size();
  units.push_back(segments.size());

  const unsigned threads = (unsigned)std::max<size_t>(1, std::min<size_t>(cores, unitCount));
  std::vector<Tally> tallies(threads, Tally(dayList.size(), !wholeDays));
  std::vector<SegmentResult> results(segments.size());
  std::atomic<size_t> next{0};
  std::atomic<uint64_t> done{0};
  std::atomic<bool> failed{false};
  std::mutex lock;
  std::condition_variable finished;
  unsigned running = threads;
  std::string firstError;

  auto work = [&](unsigned t) {
    std::vector<char> buffer(kBlock + kLongestLine + kSlack);
    for (;;) {
      const size_t unit = next.fetch_add(1);
      if (unit >= unitCount) break;
      for (size_t i = units[unit]; i < units[unit + 1] && !failed.load(); i++) {
        const Segment &segment = segments[i];
        tallies[t].StartSegment(dayIndex[segment.file]);
        std::string problem;
        // Counted apart and stored once done: the results of segments that
        // two threads read at once share cache lines.
        SegmentResult result;
        const bool read = ReadSegment(logs[segment.file], segment, &tallies[t], &result, &buffer,
                                      &done, &problem);
        results[i] = std::move(result);
        if (!read) {
          std::lock_guard<std::mutex> hold(lock);
          if (!failed.exchange(true)) firstError = problem;
        }
      }
    }
    std::lock_guard<std::mutex> hold(lock);
    running--;
    finished.notify_all();
  };
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; t++) pool.emplace_back(work, t);
  if (progress) {
    // "read 120 of 230 MB", rewritten in place while the threads work.
    std::unique_lock<std::mutex> hold(lock);
    while (!finished.wait_for(hold, std::chrono::milliseconds(250), [&] { return running == 0; }))
      fprintf(stderr, "\rhoptool stats: read %llu of %llu MB ",
              (unsigned long long)(done.load() / 1000000), (unsigned long long)(total / 1000000));
    fprintf(stderr, "\r%60s\r", "");
  }
  for (std::thread &thread : pool) thread.join();
  if (failed) {
    *error = firstError;
    return false;
  }

  // Line numbers: each segment counted from 1, so the lines of the
  // segments before it in the same file are added.
  uint64_t base = 0;
  size_t badFile = SIZE_MAX;  // the file report->bad.back() is about
  for (size_t i = 0; i < segments.size(); i++) {
    const Segment &segment = segments[i];
    if (segment.begin == 0) base = 0;
    const SegmentResult &r = results[i];
    report->lines += r.lines;
    report->unreadable += r.unreadable;
    if (r.unreadable > 0) {
      if (badFile != segment.file) {
        report->bad.push_back(BadFile{logs[segment.file].path, 0, {}});
        badFile = segment.file;
      }
      BadFile &bad = report->bad.back();
      bad.count += r.unreadable;
      for (const BadLine &line : r.bad)
        if (bad.lines.size() < kListedPerFile) bad.lines.push_back({base + line.line, line.excerpt});
    }
    base += r.lines;
  }
  report->files = logs.size();
  if (!logs.empty()) {
    report->first = logs.front().day;
    report->last = logs.back().day;
  }
  Merge(tallies, dayList, report);
  return true;
}

}  // namespace hopstats
