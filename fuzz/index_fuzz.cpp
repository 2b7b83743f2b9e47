// The index file's reader on any bytes. Input: a mode byte, the key, one
// byte below 32 or DEL (where the driver ends a query), then the file. Mode
// 0 reads the bytes as they are: every checksum must fail or hold, and an
// index that holds whole must answer as the scan of its own text does. Mode 1 signs them first (the sizes, every
// block's sum and the header's made right), so that bytes no writer wrote
// reach the lookup: it must stay inside the file and its value buffer,
// and answer, or say the index is damaged, never crash.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "table_model.h"
#include "tableindex.h"

namespace {

// Makes every size and checksum of the file right for the counts its
// header gives; false when those make no file of a size worth trying.
bool Sign(std::vector<char> *file) {
  if (file->size() < TABLE_INDEX_HEADER) return false;
  TableIndexHeader h;
  memcpy(&h, file->data(), sizeof(h));
  h.flags &= TABLE_INDEX_RETURNS;
  h.textEnd %= 3;
  h.lineCount = std::min(h.lineCount, h.textLength);
  TableIndexLayout layout;
  if (!TableIndexLayoutOf(h.recordCount, h.textLength, h.lineCount, h.flags, &layout) ||
      layout.fileSize > (1u << 20))
    return false;
  memcpy(h.magic, TABLE_INDEX_MAGIC, 8);
  h.version = TABLE_INDEX_VERSION;
  h.byteOrder = 0x01020304u;
  h.headerSize = (uint32_t)layout.headerSize;
  h.fileSize = layout.fileSize;
  if (h.fileTextEnd > h.fileDataEnd) std::swap(h.fileTextEnd, h.fileDataEnd);
  h.tableSize = std::max<int64_t>(h.tableSize, h.fileDataEnd);
  file->resize(layout.fileSize);
  memcpy(file->data(), &h, sizeof(h));
  char *bytes = file->data();
  uint32_t *sums = (uint32_t *)(bytes + layout.sumsOffset);
  for (uint64_t b = 0; b < layout.dataBlocks; b++) {
    const uint64_t start = layout.dataOffset + b * TABLE_INDEX_BLOCK;
    const uint32_t length = (uint32_t)std::min<uint64_t>(TABLE_INDEX_BLOCK, layout.fileSize - start);
    sums[b] = TableIndexBlockSum(bytes + start, length, b);
  }
  uint32_t *l2 = (uint32_t *)(bytes + sizeof(TableIndexHeader));
  for (uint64_t j = 0; j < layout.sumBlocks; j++)
    l2[j] = TableIndexSumsSum(bytes + layout.sumsOffset + j * TABLE_INDEX_BLOCK, TABLE_INDEX_BLOCK, j);
  const uint64_t sum = TableIndexHeaderSum(bytes, (uint32_t)layout.headerSize - 8);
  memcpy(bytes + layout.headerSize - 8, &sum, 8);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  FuzzStartup("linkhop");
  const int signing = data[0] & 1;
  size_t cut = 1;
  while (cut < size && data[cut] >= 32 && data[cut] != 127) cut++;  // as the driver ends a query
  const std::string key((const char *)data + 1, cut - 1);
  const size_t start = cut < size ? cut + 1 : size;
  // The file on the heap at its own size, aligned as a view is: a read
  // past its end is a finding.
  std::vector<char> file(data + start, data + size);
  if (signing && !Sign(&file)) return 0;
  char *bytes = (char *)malloc(file.size() ? file.size() : 1);
  if (!file.empty()) memcpy(bytes, file.data(), file.size());

  TableIndexFile indexFile;
  TableIndex index;
  if (TableIndexOpenBytes(bytes, (int64_t)file.size(), nullptr, &indexFile, &index) == TABLE_INDEX_OK) {
    char *value = (char *)malloc(TABLE_VALUE_MAX + 1);
    int at;
    const int found = TableIndexLookup(&index, key.c_str(), value, &at);
    FUZZ_CHECK(found >= -1 && found <= 1);
    FUZZ_CHECK(strnlen(value, TABLE_VALUE_MAX + 1) <= TABLE_VALUE_MAX);
    FUZZ_CHECK(found != 1 || (at >= 0 && (uint32_t)at < index.textLength));
    FUZZ_CHECK(found == 1 || value[0] == 0);
    for (uint32_t i : {0u, index.lineCount / 2, index.lineCount ? index.lineCount - 1 : 0u})
      if (i < index.lineCount) FUZZ_CHECK(TableIndexLineAt(&index, i) >= -1);
    if (!signing && TableIndexWhole(&index, 1)) {
      // Whole: as its writer wrote it, so it answers as its text does.
      const std::string text(index.text, index.textLength);
      const table_model::Answer expected = table_model::TableModel(text, key);
      FUZZ_CHECK(found == expected.result && value == expected.value);
    }
    free(value);
    TableIndexCloseFile(&indexFile);
  }
  free(bytes);
  return 0;
}
