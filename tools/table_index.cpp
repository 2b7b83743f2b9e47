// table_index - a table's index composed from its draft and written beside
// it: the second half of every edit, and the work of hoptool index.
#include "table_index.h"

#include <string.h>


#include <algorithm>
#include <string>
#include <vector>

namespace hoptool {

bool ComposeIndex(OsFile table, const Draft &draft, TableIndexSink sink, void *context,
                  std::vector<unsigned char> *header, std::string *failed) {
  const uint32_t flags = draft.Flags();
  TableIndexWriter writer(draft.RecordCount(), draft.TextLength(), draft.TextLines(), flags, sink,
                          context);
  if (!draft.EachRecord([&writer](const TableIndexRecord &r) { writer.Record(r); })) {
    *failed = "its index turned out damaged while it was read";
    return false;
  }
  // The text: read from the table's file where it is the file's bytes,
  // which spares the pages of its mapping.
  std::vector<char> buffer;
  bool again = true;
  draft.EachTextStretch([&](uint32_t offset, const char *bytes, size_t count) {
    if (offset == UINT32_MAX || table.handle == OS_NO_FILE) return writer.Text(bytes, count);
    buffer.resize(1 << 20);
    for (size_t done = 0; again && done < count;) {
      const size_t take = std::min(buffer.size(), count - done);
      again = ReadAt(table, offset + done, buffer.data(), take);
      if (again) writer.Text(buffer.data(), take);
      done += take;
    }
  });
  if (!again) {
    *failed = "cannot read the table again";
    return false;
  }
  if (flags & TABLE_INDEX_RETURNS) draft.EachFileLine([&writer](uint32_t at) { writer.FileLine(at); });
  const OsFileStamp none{};
  // A piece that did not go leaves failed empty: the writer's caller says why.
  return writer.Finish(draft.TextEnd(), draft.FileTextEnd(), draft.FileDataEnd(), &none, 0, 0,
                       header);
}

bool WriteIndex(TableFile *file, const std::string &indexPath, const Draft &draft, bool read,
                double wait, const std::function<void()> &letGo, std::string *error) {
  // The table's bytes, for the look at the file before the index is trusted.
  std::vector<std::pair<const char *, size_t>> raw;
  size_t size = 0;
  draft.EachRawPiece([&](const char *bytes, size_t count) {
    raw.push_back({bytes, count});
    size += count;
  });
  size_t piece = 0, offset = 0;
  auto same = [&](const char *chunk, size_t count) {
    while (count > 0) {
      while (piece < raw.size() && offset == raw[piece].second) piece++, offset = 0;
      if (piece == raw.size()) return false;
      const size_t take = std::min(count, raw[piece].second - offset);
      if (memcmp(raw[piece].first + offset, chunk, take) != 0) return false;
      offset += take;
      chunk += take;
      count -= take;
    }
    return true;
  };
  auto write = [&](OsFile out, std::string *failed) -> bool {
    // All but the header first: the table's stamp and read time, which the
    // header holds, are settled meanwhile.
    std::vector<unsigned char> header;
    if (!ComposeIndex(file->table, draft,
                      [](void *context, uint64_t offset, const void *bytes, uint32_t count) {
                        return WriteAt(*(OsFile *)context, offset, bytes, count);
                      },
                      &out, &header, failed))
      return false;
    OsFileStamp stamp = file->stamp;
    int64_t seconds = file->readSeconds, nanos = file->readNanos;
    if (!read) OsClockNow(&seconds, &nanos);
    piece = offset = 0;
    if (!SettleTable(file, same, size, &stamp, &seconds, &nanos, failed)) return false;
    TableIndexRestamp(header.data(), &stamp, seconds, nanos);
    if (!WriteAt(out, 0, header.data(), header.size())) return false;
    letGo();
    return true;
  };
  return ReplaceBeside(indexPath, *file, write, wait, error);
}

}  // namespace hoptool
