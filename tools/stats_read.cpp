// hoptool stats - reading the request logs.
//
// A log is read in large blocks and cut into lines by a vector scan for the
// first byte below 32 (a line's end, or a byte no line of the program's
// holds); each line is checked against the program's own format
// (ParseLogLine) and counted, with no allocation per line: every distinct
// key, host and client address is stored once, in a table of its own
// (stats_tables.h), and the counts sit beside it. Memory thus grows with the
// distinct keys, hosts, client addresses and days, never with the number of
// lines. The work is shared among the cores, a day or a piece of a file at
// a time; each thread counts into tables of its own, merged at the end.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

#if defined(__SSE2__) && defined(__GNUC__)
#include <emmintrin.h>
#endif

#include "stats.h"
#include "stats_tables.h"

namespace hopstats {

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
    if (!ParseLogLine(p, end, &line)) return false;
    if (line.isPacked) {
      packed_.Prefetch(line.code);
    } else {
      line.clientHash = HashBytes(line.client, line.clientLength);
      clients_.Prefetch(line.clientHash);
    }
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

  struct Parsed : LogLine {
    uint64_t clientHash;  // of a client that is not packed
  };
  static constexpr size_t kAhead = 8;  // lines read ahead of the one counted

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
    if (!line.isRefused) hours_[StampHour(line.stamp)]++;  // requests answered

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
