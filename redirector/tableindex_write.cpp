// tableindex_write - the file of a compiled table (see tableindex_write.h).
#include "tableindex_write.h"

#include <string.h>

#include <algorithm>

TableIndexWriter::TableIndexWriter(uint32_t recordCount, uint32_t textLength, uint32_t lineCount,
                                   uint32_t flags, TableIndexSink sink, void *context)
    : fits_(TableIndexLayoutOf(recordCount, textLength, lineCount, flags, &layout_) != 0),
      sink_(sink),
      context_(context),
      recordCount_(recordCount),
      textLength_(textLength),
      lineCount_(lineCount),
      flags_(flags) {
  lines_.reserve(lineCount);
  ok_ = fits_;
  buffer_.resize(kBuffer);
  sums_.reserve((size_t)layout_.dataBlocks);
  mins_.reserve((size_t)layout_.minCount[0]);
}

void TableIndexWriter::Flush() {
  if (used_ == 0 || !ok_) return;
  const uint64_t first = at_ / TABLE_INDEX_BLOCK;
  for (uint32_t done = 0; done < used_; done += TABLE_INDEX_BLOCK)
    sums_.push_back(TableIndexBlockSum(buffer_.data() + done,
                                       std::min<uint32_t>(TABLE_INDEX_BLOCK, used_ - done),
                                       first + done / TABLE_INDEX_BLOCK));
  ok_ = sink_(context_, layout_.dataOffset + at_, buffer_.data(), used_);
  at_ += used_;
  used_ = 0;
}

void TableIndexWriter::Put(const void *bytes, uint64_t count) {
  const unsigned char *p = (const unsigned char *)bytes;
  while (count > 0 && ok_) {
    const uint32_t take = (uint32_t)std::min<uint64_t>(count, kBuffer - used_);
    memcpy(buffer_.data() + used_, p, take);
    used_ += take;
    p += take;
    count -= take;
    if (used_ == kBuffer) Flush();
  }
}

void TableIndexWriter::PadTo(uint64_t offset) {
  static const unsigned char zeros[16] = {0};
  while (ok_ && layout_.dataOffset + at_ + used_ < offset) {
    const uint64_t gap = offset - (layout_.dataOffset + at_ + used_);
    Put(zeros, gap < sizeof(zeros) ? gap : sizeof(zeros));
  }
}

void TableIndexWriter::Record(const TableIndexRecord &record) {
  if (records_ >= recordCount_ || summarized_) {
    ok_ = false;
    return;
  }
  if (records_ % TABLE_INDEX_FENCE == 0) fences_[0].push_back(record.key0);
  if (records_ % ((uint64_t)TABLE_INDEX_FENCE * TABLE_INDEX_FENCE) == 0)
    fences_[1].push_back(record.key0);
  least_ = std::min(least_, record.end & TABLE_INDEX_END_MASK);
  records_++;
  if (records_ % TABLE_INDEX_MIN_FAN == 0 || records_ == recordCount_) {
    mins_.push_back(least_);
    least_ = 0xFFFFFFFFu;
  }
  Put(&record, sizeof(record));
}

// The fences and the mins, level by level, once every record is in.
void TableIndexWriter::PutSummaries() {
  summarized_ = true;
  if (records_ != recordCount_) ok_ = false;
  for (int k = 0; k < 2; k++) {
    PadTo(layout_.fenceOffset[k]);
    Put(fences_[k].data(), (uint64_t)fences_[k].size() * 8);
  }
  std::vector<uint32_t> level = mins_;
  for (uint32_t k = 0; k < TABLE_INDEX_MIN_LEVELS; k++) {
    PadTo(layout_.minOffset[k]);
    if (k >= layout_.minLevels) continue;
    if (level.size() != layout_.minCount[k]) ok_ = false;
    Put(level.data(), (uint64_t)level.size() * 4);
    std::vector<uint32_t> up;
    for (size_t i = 0; i < level.size(); i += TABLE_INDEX_MIN_FAN)
      up.push_back(*std::min_element(level.begin() + (long)i,
                                     level.begin() + (long)std::min(level.size(), i + TABLE_INDEX_MIN_FAN)));
    level.swap(up);
  }
  PadTo(layout_.textOffset);
}

void TableIndexWriter::Text(const char *bytes, uint64_t count) {
  if (!summarized_) PutSummaries();
  // Each line starts at the text's start or after a line feed within it.
  if (text_ == 0 && count > 0) lines_.push_back(0);
  for (const char *p = bytes, *end = bytes + count;
       (p = (const char *)memchr(p, '\n', (size_t)(end - p))) != nullptr;) {
    p++;
    const uint64_t start = text_ + (uint64_t)(p - bytes);
    if (start < textLength_) lines_.push_back((uint32_t)start);
  }
  text_ += count;
  Put(bytes, count);
}

void TableIndexWriter::FileLine(uint32_t start) { fileLines_.push_back(start); }

bool TableIndexWriter::Finish(uint32_t textEnd, uint32_t fileTextEnd, uint32_t fileDataEnd,
                              const OsFileStamp *table, int64_t readSeconds, int64_t readNanos,
                              std::vector<unsigned char> *header) {
  if (!summarized_) PutSummaries();
  const unsigned char zero = 0;
  Put(&zero, 1);
  if (lines_.size() != lineCount_) ok_ = false;
  PadTo(layout_.linesOffset);
  Put(lines_.data(), (uint64_t)lines_.size() * 4);
  if (flags_ & TABLE_INDEX_RETURNS) {
    if (fileLines_.size() != lineCount_) ok_ = false;
    PadTo(layout_.fileLinesOffset);
    Put(fileLines_.data(), (uint64_t)fileLines_.size() * 4);
  }
  Flush();
  if (!ok_ || text_ != textLength_ || sums_.size() != layout_.dataBlocks) return false;

  // The sums, a block at a time, each summed for the header.
  header->assign((size_t)layout_.headerSize, 0);
  uint32_t *l2 = (uint32_t *)(header->data() + sizeof(TableIndexHeader));
  sums_.resize((size_t)layout_.sumBlocks * (TABLE_INDEX_BLOCK / 4), 0);
  for (uint64_t j = 0; j < layout_.sumBlocks; j++) {
    const uint32_t *block = sums_.data() + j * (TABLE_INDEX_BLOCK / 4);
    l2[j] = TableIndexSumsSum(block, TABLE_INDEX_BLOCK, j);
    if (!sink_(context_, layout_.sumsOffset + j * TABLE_INDEX_BLOCK, block, TABLE_INDEX_BLOCK))
      return false;
  }
  TableIndexHeader *h = (TableIndexHeader *)header->data();
  memcpy(h->magic, TABLE_INDEX_MAGIC, 8);
  h->version = TABLE_INDEX_VERSION;
  h->byteOrder = 0x01020304u;
  h->fileSize = layout_.fileSize;
  h->headerSize = (uint32_t)layout_.headerSize;
  h->recordCount = recordCount_;
  h->textLength = textLength_;
  h->textEnd = textEnd;
  h->lineCount = lineCount_;
  h->flags = flags_;
  h->fileTextEnd = fileTextEnd;
  h->fileDataEnd = fileDataEnd;
  TableIndexRestamp(header->data(), table, readSeconds, readNanos);
  return true;
}

void TableIndexRestamp(void *header, const OsFileStamp *table, int64_t readSeconds,
                       int64_t readNanos) {
  TableIndexHeader *h = (TableIndexHeader *)header;
  h->tableDevice = table->device;
  h->tableInode = table->inode;
  h->tableSize = table->size;
  h->tableModified = table->modified;
  h->tableModifiedNanos = table->modifiedNanos;
  h->tableChanged = table->changed;
  h->tableChangedNanos = table->changedNanos;
  h->readSeconds = readSeconds;
  h->readNanos = readNanos;
  const uint64_t sum = TableIndexHeaderSum(header, h->headerSize - 8);
  memcpy((char *)header + h->headerSize - 8, &sum, 8);
}
