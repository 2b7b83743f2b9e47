// hoptool stats - the hash tables the reader counts in: distinct strings
// numbered in the order first seen, sets of numbers, and the packed client
// addresses with the last day each was seen on. Hot paths, so all inline.
#ifndef LINKHOP_STATS_TABLES_H
#define LINKHOP_STATS_TABLES_H

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__) && defined(__GNUC__)
#include <emmintrin.h>
#endif

namespace hopstats {

// ---- Tables of distinct strings -----------------------------------------

inline uint64_t Load64(const char *p) {
  uint64_t w;
  memcpy(&w, p, 8);
  return w;
}
inline uint64_t Load32(const char *p) {
  uint32_t w;
  memcpy(&w, p, 4);
  return w;
}

// Keys and addresses are short: compared and hashed a word at a time, the
// last word overlapping the one before, with no call per string.
inline bool SameBytes(const char *a, const char *b, size_t n) {
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

inline uint64_t Mix(uint64_t h, uint64_t w) {
  h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
  return h ^ (h >> 29);
}

// The hash of a string of at most 16 bytes, given as two words with zeros
// after its end.
inline uint64_t HashShort(uint64_t low, uint64_t high, size_t n) {
  uint64_t h = Mix(Mix(0x243F6A8885A308D3ULL ^ n, low), high);
  h *= 0xFF51AFD7ED558CCDULL;
  return h ^ (h >> 32);
}

inline uint64_t HashBytes(const char *p, size_t n) {
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
    const uint32_t id = Find(hash, n, [&](const Slot &slot) {
      return n <= kHead ? SameBytes(slot.head, p, n)
                        : SameBytes(slot.head, p, kHead) &&
                              SameBytes(bytes_.data() + offsets_[slot.id] + kHead, p + kHead,
                                        n - kHead);
    });
    return id != kEmpty ? id : Add(p, n, hash);
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
    const uint32_t id = Find(hash, n, [&](const Slot &slot) {
      return _mm_movemask_epi8(
                 _mm_cmpeq_epi8(text, _mm_loadu_si128((const __m128i *)slot.head))) == 0xFFFF;
    });
    return id != kEmpty ? id : Add(p, n, hash);
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

  // The id of the string of n bytes with this hash whose slot same(slot)
  // accepts; kEmpty when there is none.
  template <typename Same>
  uint32_t Find(uint64_t hash, size_t n, Same same) const {
    const uint32_t tag = (uint32_t)(hash >> 32);
    const size_t mask = slots_.size() - 1;
    for (size_t i = (size_t)hash & mask;; i = (i + 1) & mask) {
      const Slot &slot = slots_[i];
      if (slot.id == kEmpty) return kEmpty;
      if (slot.tag == tag && slot.length == n && same(slot)) return slot.id;
    }
  }

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

}  // namespace hopstats

#endif
