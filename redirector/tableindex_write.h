// tableindex_write - the file of a compiled table, as hoptool writes it
// (the format: tableindex.h): the records pushed in order, then the text,
// each part summed block by block as it goes out, the header last. The
// program never writes an index.
#ifndef LINKHOP_TABLEINDEX_WRITE_H
#define LINKHOP_TABLEINDEX_WRITE_H

#include <stdint.h>

#include <vector>

#include "tableindex.h"

// Takes count bytes for the file at offset; false when they cannot go.
typedef bool (*TableIndexSink)(void *context, uint64_t offset, const void *bytes, uint32_t count);

class TableIndexWriter {
 public:
  // A file of recordCount records and a text of textLength bytes in
  // lineCount lines (see TableIndexHeader), with flags.
  TableIndexWriter(uint32_t recordCount, uint32_t textLength, uint32_t lineCount, uint32_t flags,
                   TableIndexSink sink, void *context);

  // Every record, in the index's order, then the text in pieces, then, with
  // TABLE_INDEX_RETURNS, where each line starts in the file.
  void Record(const TableIndexRecord &record);
  void Text(const char *bytes, uint64_t count);
  void FileLine(uint32_t start);

  // The header, for the table of stamp read at readSeconds.readNanos (see
  // TableIndexSettled), into *header, which the caller writes at offset 0
  // (perhaps once it knows the stamp: TableIndexRestamp). false when a
  // piece did not go, the counts were not the ones announced, or the file
  // is too large for the format.
  // fileTextEnd and fileDataEnd: see TableIndexHeader.
  bool Finish(uint32_t textEnd, uint32_t fileTextEnd, uint32_t fileDataEnd,
              const OsFileStamp *table, int64_t readSeconds, int64_t readNanos,
              std::vector<unsigned char> *header);

 private:
  void Flush();
  void Put(const void *bytes, uint64_t count);
  void PadTo(uint64_t offset);
  void PutSummaries();

  TableIndexLayout layout_{};
  bool fits_;
  TableIndexSink sink_;
  void *context_;
  uint32_t recordCount_, textLength_, lineCount_, flags_, records_ = 0;
  std::vector<uint32_t> lines_, fileLines_;
  uint64_t text_ = 0;
  bool summarized_ = false;
  std::vector<uint64_t> fences_[2];
  std::vector<uint32_t> mins_;  // the least end of each group of records so far
  uint32_t least_ = 0xFFFFFFFFu;
  std::vector<uint32_t> sums_;
  // Blocks go out many at a time: a write of the system's each.
  enum { kBuffer = 256 * TABLE_INDEX_BLOCK };
  std::vector<unsigned char> buffer_;
  uint32_t used_ = 0;
  uint64_t at_ = 0;  // bytes of the data area gone out
  bool ok_ = true;
};

#endif
