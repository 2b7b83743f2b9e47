/* tableindex - the compiled form of a redirect table (see tableindex.h). */
#include "tableindex.h"

#include <stddef.h>
#include <string.h>

#include <algorithm>

#include "fastsrch.h"
#include "tsl-io.h"

static_assert(sizeof(TableIndexRecord) == 16, "a record is 16 bytes");
static_assert(sizeof(TableIndexHeader) % 8 == 0, "the sums follow the fixed fields");

/* ---- Order keys ------------------------------------------------------------ */

static unsigned char Folded(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

/* Byte j of the order key of the end e: the text's byte j places before e,
 * folded; 0 once the run has ended (a byte below 32 or the text's start). The
 * caller asks for j in order, so a 0 is never passed over. */
static unsigned char OrderByte(const char *text, uint32_t e, uint32_t j) {
  if (j >= e) return 0;
  unsigned char c = (unsigned char)text[e - 1 - j];
  return TableIsControl(c) ? 0 : Folded(c);
}

static void Pack(const unsigned char *bytes, uint64_t *key0, uint32_t *key1) {
  uint64_t a = 0;
  uint32_t b = 0;
  for (int j = 0; j < 8; j++) a = a << 8 | bytes[j];
  for (int j = 8; j < 12; j++) b = b << 8 | bytes[j];
  *key0 = a;
  *key1 = b;
}

void TableIndexOrderKey(const char *text, uint32_t end, uint64_t *key0, uint32_t *key1) {
  unsigned char bytes[TABLE_INDEX_INLINE] = {0};
  for (uint32_t j = 0; j < TABLE_INDEX_INLINE; j++)
    if ((bytes[j] = OrderByte(text, end, j)) == 0) break;
  Pack(bytes, key0, key1);
}

int TableIndexCompare(const char *text, const TableIndexRecord *a, const TableIndexRecord *b) {
  if (a->key0 != b->key0) return a->key0 < b->key0 ? -1 : 1;
  if (a->key1 != b->key1) return a->key1 < b->key1 ? -1 : 1;
  const uint32_t ea = a->end & TABLE_INDEX_END_MASK, eb = b->end & TABLE_INDEX_END_MASK;
  /* Twelve bytes alike, and both runs go on: the text decides. */
  if ((a->key1 & 0xFF) != 0) {
    for (uint32_t j = TABLE_INDEX_INLINE; j < TABLE_KEY_MAX; j++) {
      unsigned char x = OrderByte(text, ea, j), y = OrderByte(text, eb, j);
      if (x != y) return x < y ? -1 : 1;
      if (x == 0) break;
    }
  }
  return ea < eb ? -1 : ea > eb ? 1 : 0;
}

void TableIndexSort(const char *text, TableIndexRecord *records, uint32_t count) {
  std::sort(records, records + count, [text](const TableIndexRecord &a, const TableIndexRecord &b) {
    return TableIndexCompare(text, &a, &b) < 0;
  });
}

/* ---- The ends of a text -------------------------------------------------- */

/* Every end of the text whose '=' lies in [from, to), from a line's start:
 * each place from just after the last byte above 32 before an '=' up to
 * the '=', whose run is not empty. The first of them is flagged when it
 * ends its line's own key. */
template <typename Each>
static uint32_t EachEnd(const unsigned char *text, uint32_t length, uint32_t from, uint32_t to,
                        Each each) {
  /* What the bytes before from leave: the last byte above 32, and where
   * the run before it starts. */
  int64_t lastSolid = (int64_t)from - 1;
  while (lastSolid >= 0 && TableIsWhite(text[lastSolid])) lastSolid--;
  int64_t runStart = lastSolid;
  while (runStart >= 0 && !TableIsControl(text[runStart])) runStart--;
  uint32_t afterSolidControl = (uint32_t)(runStart + 1);
  int64_t control = (int64_t)from - 1;
  while (control >= 0 && !TableIsControl(text[control])) control--;
  uint32_t afterControl = (uint32_t)(control + 1);
  int64_t firstSolid = -1; /* the line's first byte above 32 */
  int sawEquals = 0;       /* the line has had its '=' */
  uint32_t count = 0;
  for (uint32_t i = from; i < to && i < length; i++) {
    unsigned char c = text[i];
    if (c == '\n') {
      firstSolid = -1;
      sawEquals = 0;
    }
    if (TableIsControl(c)) {
      afterControl = i + 1;
      continue;
    }
    if (TableIsWhite(c)) continue;
    if (firstSolid < 0) firstSolid = i;
    if (c == '=') {
      const int ownKey = !sawEquals && firstSolid < (int64_t)i &&
                         firstSolid >= (int64_t)afterSolidControl;
      uint32_t control = afterSolidControl;
      for (uint32_t end = (uint32_t)(lastSolid + 1); end <= i; end++) {
        if (end > (uint32_t)(lastSolid + 1) && TableIsControl(text[end - 1])) control = end;
        if (end > control)
          each(end | (ownKey && end == (uint32_t)(lastSolid + 1) ? TABLE_INDEX_OWN_KEY : 0u)), count++;
      }
      sawEquals = 1;
    }
    lastSolid = i;
    afterSolidControl = afterControl;
  }
  return count;
}

uint32_t TableIndexEachEnd(const char *text, uint32_t length, uint32_t from, uint32_t to,
                           void (*each)(void *context, uint32_t endAndFlag), void *context) {
  return EachEnd((const unsigned char *)text, length, from, to,
                 [&](uint32_t end) { each(context, end); });
}

/* ---- Layout ---------------------------------------------------------------- */

static uint64_t Up(uint64_t n, uint64_t to) { return (n + to - 1) / to * to; }
static uint32_t Parts(uint64_t n, uint64_t per) { return (uint32_t)((n + per - 1) / per); }

/* The sizes of the summaries of count records: fences and mins. */
static void Summaries(uint32_t count, TableIndexLayout *layout) {
  layout->fenceCount[0] = Parts(count, TABLE_INDEX_FENCE);
  layout->fenceCount[1] = Parts(count, (uint64_t)TABLE_INDEX_FENCE * TABLE_INDEX_FENCE);
  layout->minLevels = 0;
  for (uint64_t below = count; below > 1 && layout->minLevels < TABLE_INDEX_MIN_LEVELS;) {
    below = Parts(below, TABLE_INDEX_MIN_FAN);
    layout->minCount[layout->minLevels++] = (uint32_t)below;
  }
  for (uint32_t k = layout->minLevels; k < TABLE_INDEX_MIN_LEVELS; k++) layout->minCount[k] = 0;
}

int TableIndexLayoutOf(uint32_t recordCount, uint32_t textLength, uint32_t lineCount,
                       uint32_t flags, TableIndexLayout *layout) {
  memset(layout, 0, sizeof(*layout));
  if (recordCount > TABLE_INDEX_END_MASK || textLength >= TABLE_INDEX_END_MASK ||
      lineCount > textLength || (flags & ~TABLE_INDEX_RETURNS))
    return 0;
  Summaries(recordCount, layout);
  /* The data area, each part 16-byte aligned, from offset 0. */
  uint64_t at = 0;
  layout->recordsOffset = at;
  at = Up(at + (uint64_t)recordCount * sizeof(TableIndexRecord), 16);
  for (int k = 0; k < 2; k++) {
    layout->fenceOffset[k] = at;
    at = Up(at + (uint64_t)layout->fenceCount[k] * 8, 16);
  }
  for (uint32_t k = 0; k < TABLE_INDEX_MIN_LEVELS; k++) {
    layout->minOffset[k] = at;
    at = Up(at + (uint64_t)layout->minCount[k] * 4, 16);
  }
  layout->textOffset = at;
  at = Up(at + textLength + 1, 16);
  layout->linesOffset = at;
  at += (uint64_t)lineCount * 4;
  if (flags & TABLE_INDEX_RETURNS) {
    at = Up(at, 16);
    layout->fileLinesOffset = at;
    at += (uint64_t)lineCount * 4;
  }
  const uint64_t dataSize = at;
  layout->dataBlocks = Parts(dataSize, TABLE_INDEX_BLOCK);
  layout->sumBlocks = Parts(layout->dataBlocks * 4, TABLE_INDEX_BLOCK);
  layout->headerSize = Up(sizeof(TableIndexHeader) + 4 * layout->sumBlocks + 8, TABLE_INDEX_HEADER);
  layout->sumsOffset = layout->headerSize;
  layout->dataOffset = layout->headerSize + layout->sumBlocks * TABLE_INDEX_BLOCK;
  /* Make the data parts' offsets the file's own. */
  layout->recordsOffset += layout->dataOffset;
  for (int k = 0; k < 2; k++) layout->fenceOffset[k] += layout->dataOffset;
  for (uint32_t k = 0; k < TABLE_INDEX_MIN_LEVELS; k++) layout->minOffset[k] += layout->dataOffset;
  layout->textOffset += layout->dataOffset;
  layout->linesOffset += layout->dataOffset;
  if (flags & TABLE_INDEX_RETURNS) layout->fileLinesOffset += layout->dataOffset;
  layout->fileSize = layout->dataOffset + dataSize;
  return layout->headerSize <= 0xFFFFFFFFu;
}

/* ---- Checksums -------------------------------------------------------------- */

/* Four lanes of multiply and rotate over 8-byte words, in the little-endian
 * order the format has; the tail is taken as zeros, the length mixed in. */
static uint64_t Rotate(uint64_t x, int r) { return x << r | x >> (64 - r); }

static uint64_t Load(const unsigned char *p) {
  uint64_t v;
  memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

static uint64_t Sum(const void *bytes, uint64_t length, uint64_t seed) {
  const uint64_t k1 = 0x9E3779B185EBCA87ull, k2 = 0xC2B2AE3D27D4EB4Full;
  uint64_t lane[4] = {seed + k1, seed ^ k2, seed - k1, ~seed};
  const unsigned char *p = (const unsigned char *)bytes;
  uint64_t i = 0;
  for (; i + 32 <= length; i += 32)
    for (int l = 0; l < 4; l++) lane[l] = Rotate(lane[l] + Load(p + i + 8 * l) * k2, 31) * k1;
  unsigned char tail[32] = {0};
  memcpy(tail, p + i, (size_t)(length - i));
  for (int l = 0; l < 4; l++) lane[l] = Rotate(lane[l] + Load(tail + 8 * l) * k2, 31) * k1;
  uint64_t h = Rotate(lane[0], 1) + Rotate(lane[1], 7) + Rotate(lane[2], 12) + Rotate(lane[3], 18);
  h ^= length * k1;
  h ^= h >> 33;
  h *= k2;
  h ^= h >> 29;
  return h;
}

uint32_t TableIndexBlockSum(const void *bytes, uint32_t length, uint64_t block) {
  return (uint32_t)Sum(bytes, length, block + 1);
}

uint32_t TableIndexSumsSum(const void *bytes, uint32_t length, uint64_t block) {
  return (uint32_t)Sum(bytes, length, 0x5355ull << 40 | block);
}

uint64_t TableIndexHeaderSum(const void *bytes, uint32_t length) {
  return Sum(bytes, length, 0x4C48494458ull);
}

/* ---- Checked reads ------------------------------------------------------ */

static int Remembered(const TableIndexFile *file, uint64_t tag) {
  for (unsigned i = 0; i < sizeof(file->recent) / sizeof(file->recent[0]); i++)
    if (file->recent[i] == tag) return 1;
  return 0;
}

static void Remember(TableIndexFile *file, uint64_t tag) {
  file->recent[file->recentNext++ % (sizeof(file->recent) / sizeof(file->recent[0]))] = tag;
}

/* Tags in the record of recent checks: data blocks as they are, blocks of
 * sums with the top bit. 0 is no block (stored as block + 1). */
#define SUMS_TAG 0x8000000000000000ull

/* ---- Reading a file without its mapping ----------------------------------
 * A process that answers one request reads the few blocks it needs into
 * the reads record: setting up a view of a large file, and taking it down,
 * costs more than the whole lookup. Blocks are kept in slots, the least
 * recently used taken for the next read, each slot whole blocks of data or
 * one block of sums, checked as it is read. */

static char *Slot(TableIndexFile *file, int sums, uint64_t first, uint32_t count) {
  TableIndexReads *reads = file->reads;
  for (unsigned i = 0; i < TABLE_INDEX_SLOTS; i++) {
    TableIndexSlot *slot = &file->slots[i];
    if (slot->count && slot->sums == (uint32_t)sums && slot->first <= first &&
        first + count <= slot->first + slot->count) {
      slot->used = ++file->clock;
      return reads->bytes[i] + (first - slot->first) * TABLE_INDEX_BLOCK;
    }
  }
  return nullptr;
}

/* The least recently used slot, emptied; its bytes in *bytes. */
static TableIndexSlot *FreeSlot(TableIndexFile *file, char **bytes) {
  TableIndexReads *reads = file->reads;
  unsigned best = 0;
  for (unsigned i = 1; i < TABLE_INDEX_SLOTS; i++)
    if (file->slots[i].used < file->slots[best].used) best = i;
  TableIndexSlot *slot = &file->slots[best];
  slot->count = 0;
  slot->used = ++file->clock;
  *bytes = reads->bytes[best];
  return slot;
}

/* The sums of block j's 1024 data blocks, checked against the header. */
static const uint32_t *SumsBlock(TableIndexFile *file, uint64_t j) {
  const TableIndexLayout *layout = &file->layout;
  if (j >= layout->sumBlocks) return nullptr;
  const uint32_t *l2 = (const uint32_t *)(file->headerBytes + sizeof(TableIndexHeader));
  const uint64_t tag = (SUMS_TAG | j) + 1;
  if (file->mapping.bytes) {
    const char *block = file->mapping.bytes + layout->sumsOffset + j * TABLE_INDEX_BLOCK;
    if (!Remembered(file, tag)) {
      if (TableIndexSumsSum(block, TABLE_INDEX_BLOCK, j) != l2[j]) return nullptr;
      Remember(file, tag);
    }
    return (const uint32_t *)block;
  }
  const char *held = Slot(file, 1, j, 1);
  if (held) return (const uint32_t *)held;
  char *bytes;
  TableIndexSlot *slot = FreeSlot(file, &bytes);
  if (OsFileReadAt(file->file, bytes, TABLE_INDEX_BLOCK,
                   (int64_t)(layout->sumsOffset + j * TABLE_INDEX_BLOCK)) != TABLE_INDEX_BLOCK ||
      TableIndexSumsSum(bytes, TABLE_INDEX_BLOCK, j) != l2[j])
    return nullptr;
  slot->sums = 1;
  slot->first = j;
  slot->count = 1;
  return (const uint32_t *)bytes;
}

static uint32_t BlockLength(const TableIndexFile *file, uint64_t b) {
  const uint64_t start = file->layout.dataOffset + b * TABLE_INDEX_BLOCK;
  return (uint32_t)std::min<uint64_t>(TABLE_INDEX_BLOCK, file->layout.fileSize - start);
}

static int DataBlockWhole(TableIndexFile *file, uint64_t b) {
  if (file->checked && b < file->checkedBlocks && (file->checked[b >> 3] >> (b & 7) & 1)) return 1;
  if (Remembered(file, b + 1)) return 1;
  const uint32_t *sums = SumsBlock(file, b / (TABLE_INDEX_BLOCK / 4));
  if (!sums) return 0;
  const char *bytes = file->mapping.bytes + file->layout.dataOffset + b * TABLE_INDEX_BLOCK;
  if (TableIndexBlockSum(bytes, BlockLength(file, b), b) != sums[b % (TABLE_INDEX_BLOCK / 4)]) return 0;
  Remember(file, b + 1);
  if (file->checked && b < file->checkedBlocks) file->checked[b >> 3] |= (uint8_t)(1u << (b & 7));
  return 1;
}

/* The file's bytes [offset, offset + length) of its data, checked: from the
 * view, or read into a slot (at most TABLE_INDEX_SLOT_BLOCKS blocks); null
 * when outside the data or damaged. */
static const char *Fetch(TableIndexFile *file, uint64_t offset, uint64_t length) {
  const TableIndexLayout *layout = &file->layout;
  if (offset < layout->dataOffset || offset > layout->fileSize || length > layout->fileSize - offset)
    return nullptr;
  const uint64_t firstByte = offset - layout->dataOffset;
  const uint64_t first = firstByte / TABLE_INDEX_BLOCK;
  const uint64_t last = length ? (firstByte + length - 1) / TABLE_INDEX_BLOCK : first;
  if (file->mapping.bytes) {
    for (uint64_t b = first; length && b <= last; b++)
      if (!DataBlockWhole(file, b)) return nullptr;
    return file->mapping.bytes + offset;
  }
  const uint32_t count = (uint32_t)(last - first + 1);
  if (count > TABLE_INDEX_SLOT_BLOCKS) return nullptr;
  const char *held = Slot(file, 0, first, count);
  if (held) return held + firstByte % TABLE_INDEX_BLOCK;
  /* The sums first, each copied at once: the blocks may take their slot. */
  uint32_t sumCopy[TABLE_INDEX_SLOT_BLOCKS];
  for (uint32_t i = 0; i < count; i++) {
    const uint32_t *sums = SumsBlock(file, (first + i) / (TABLE_INDEX_BLOCK / 4));
    if (!sums) return nullptr;
    sumCopy[i] = sums[(first + i) % (TABLE_INDEX_BLOCK / 4)];
  }
  char *into;
  TableIndexSlot *slot = FreeSlot(file, &into);
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < count; i++) bytes += BlockLength(file, first + i);
  if (OsFileReadAt(file->file, into, (int)bytes,
                   (int64_t)(layout->dataOffset + first * TABLE_INDEX_BLOCK)) != (int)bytes)
    return nullptr;
  for (uint32_t i = 0; i < count; i++)
    if (TableIndexBlockSum(into + (uint64_t)i * TABLE_INDEX_BLOCK, BlockLength(file, first + i),
                           first + i) != sumCopy[i])
      return nullptr;
  slot->sums = 0;
  slot->first = first;
  slot->count = count;
  return into + firstByte % TABLE_INDEX_BLOCK;
}

/* Bytes of a part of the index: in memory as they stand (memory, the part's
 * own pointer), or the file's at the part's offset, checked. */
static const char *At(const TableIndex *index, const void *memory, uint64_t partOffset,
                      uint64_t at, uint64_t length) {
  TableIndexFile *file = (TableIndexFile *)index->file;
  if (!file) return (const char *)memory + at;
  return Fetch(file, partOffset + at, length);
}

int TableIndexPartWhole(const TableIndex *index, const void *at, uint64_t length) {
  TableIndexFile *file = (TableIndexFile *)index->file;
  if (!file) return 1;
  if (!file->mapping.bytes || (const char *)at < file->mapping.bytes) return 0;
  /* Block by block: a view is checked in place. */
  const uint64_t offset = (uint64_t)((const char *)at - file->mapping.bytes);
  return Fetch(file, offset, length) != nullptr;
}

int TableIndexBlocksWhole(TableIndexFile *file, uint64_t block, const void *bytes, uint64_t length) {
  const TableIndexLayout *layout = &file->layout;
  for (uint64_t done = 0; done < length; done += TABLE_INDEX_BLOCK, block++) {
    const uint32_t *sums = block < layout->dataBlocks ? SumsBlock(file, block / (TABLE_INDEX_BLOCK / 4))
                                                      : nullptr;
    if (!sums) return 0;
    const uint32_t size = BlockLength(file, block);
    if (std::min<uint64_t>(TABLE_INDEX_BLOCK, length - done) != size ||
        TableIndexBlockSum((const char *)bytes + done, size, block) !=
            sums[block % (TABLE_INDEX_BLOCK / 4)])
      return 0;
  }
  return 1;
}

int TableIndexWhole(const TableIndex *index, int withText) {
  TableIndexFile *file = (TableIndexFile *)index->file;
  if (!file) return 1;
  if (!file->mapping.bytes) return 0;
  const TableIndexLayout &l = file->layout;
  const uint64_t textEnd = l.textOffset + index->textLength + 1;
  return Fetch(file, l.dataOffset, l.textOffset - l.dataOffset) &&
         (!withText || Fetch(file, l.textOffset, textEnd - l.textOffset)) &&
         Fetch(file, textEnd, l.fileSize - textEnd);
}

const TableIndexRecord *TableIndexRecordAt(const TableIndex *index, uint32_t i) {
  if (i >= index->recordCount) return nullptr;
  const uint64_t partOffset = index->file ? index->file->layout.recordsOffset : 0;
  return (const TableIndexRecord *)At(index, index->records, partOffset,
                                      (uint64_t)i * sizeof(TableIndexRecord), sizeof(TableIndexRecord));
}

const char *TableIndexTextAt(const TableIndex *index, uint32_t offset, uint32_t length) {
  if ((uint64_t)offset + length > index->textLength) return nullptr;
  /* A text the reader put in the file's place (the table's own bytes) is
   * its to answer for. */
  if (index->ownText) return index->text + offset;
  const uint64_t partOffset = index->file ? index->file->layout.textOffset : 0;
  return At(index, index->text, partOffset, offset, length);
}

/* A fence or a min, checked: 0 and *ok cleared when damaged. */
static uint64_t FenceAt(const TableIndex *index, int level, uint32_t i, int *ok) {
  const uint64_t partOffset = index->file ? index->file->layout.fenceOffset[level] : 0;
  const char *f = i < index->fenceCount[level]
                      ? At(index, index->fences[level], partOffset, (uint64_t)i * 8, 8)
                      : nullptr;
  uint64_t value = 0;
  if (f) memcpy(&value, f, 8);
  else *ok = 0;
  return value;
}

static uint32_t MinAt(const TableIndex *index, uint32_t level, uint32_t i, int *ok) {
  const uint64_t partOffset = index->file ? index->file->layout.minOffset[level] : 0;
  const char *m = i < index->minCount[level]
                      ? At(index, index->mins[level], partOffset, (uint64_t)i * 4, 4)
                      : nullptr;
  uint32_t value = 0;
  if (m) memcpy(&value, m, 4);
  else *ok = 0;
  return value;
}

/* Line i's start in the text, checked; -1 when damaged. */
int64_t TableIndexLineAt(const TableIndex *index, uint32_t i) {
  if (!index->file || i >= index->lineCount) return -1;
  const char *at = Fetch((TableIndexFile *)index->file, index->file->layout.linesOffset + (uint64_t)i * 4, 4);
  uint32_t value;
  if (!at) return -1;
  memcpy(&value, at, 4);
  return value;
}

/* ---- The search for a key's stretch -------------------------------------- */

/* A key read backwards and folded, as an order key's first bytes compare. */
typedef struct Probe {
  const char *key;
  uint32_t length;
  unsigned char reversed[TABLE_KEY_MAX];
  uint64_t key0, mask0, fenceMask;
  uint32_t key1, mask1;
} Probe;

static void ProbeOf(const char *key, uint32_t length, Probe *probe) {
  probe->key = key;
  probe->length = length;
  unsigned char bytes[TABLE_INDEX_INLINE] = {0}, mask[TABLE_INDEX_INLINE] = {0};
  for (uint32_t j = 0; j < length; j++) {
    probe->reversed[j] = Folded((unsigned char)key[length - 1 - j]);
    if (j < TABLE_INDEX_INLINE) {
      bytes[j] = probe->reversed[j];
      mask[j] = 0xFF;
    }
  }
  Pack(bytes, &probe->key0, &probe->key1);
  Pack(mask, &probe->mask0, &probe->mask1);
  probe->fenceMask = probe->mask0;
}

/* How a record's order key compares with the probe, over the probe's
 * length: -1, 0 (it starts with the probe) or 1; -2 for a damaged file. */
static int Against(const TableIndex *index, const TableIndexRecord *r, const Probe *probe) {
  const uint64_t a0 = r->key0 & probe->mask0;
  const uint32_t a1 = r->key1 & probe->mask1;
  if (a0 != probe->key0) return a0 < probe->key0 ? -1 : 1;
  if (a1 != probe->key1) return a1 < probe->key1 ? -1 : 1;
  if (probe->length <= TABLE_INDEX_INLINE) return 0;
  const uint32_t e = r->end & TABLE_INDEX_END_MASK;
  if (e > index->textLength) return -2;
  const uint32_t back = e < probe->length ? e : probe->length;
  const char *run = TableIndexTextAt(index, e - back, back);
  if (!run) return -2;
  /* run holds the text's bytes [e - back, e): byte j before e is back-1-j. */
  for (uint32_t j = TABLE_INDEX_INLINE; j < probe->length; j++) {
    unsigned char q = j < back ? (unsigned char)run[back - 1 - j] : 0;
    q = TableIsControl(q) ? 0 : Folded(q);
    const unsigned char p = probe->reversed[j];
    if (q != p) return q < p ? -1 : 1;
  }
  return 0;
}

/* In [lo, hi) of fence level, the number of fences below the probe
 * (strict 0) or not above it (strict 1), where all before lo are below and
 * all from hi on above. */
static uint32_t FenceBound(const TableIndex *index, int level, uint32_t lo, uint32_t hi,
                           const Probe *probe, int notAbove, int *ok) {
  const uint64_t p = probe->key0 & probe->fenceMask;
  while (lo < hi && *ok) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const uint64_t f = FenceAt(index, level, mid, ok) & probe->fenceMask;
    if (f < p || (notAbove && f == p)) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

/* The first record in [lo, hi) that is not below the probe (above 0) or
 * that is above it (above 1). */
static uint32_t RecordBound(const TableIndex *index, uint32_t lo, uint32_t hi, const Probe *probe,
                            int above, int *ok) {
  while (lo < hi && *ok) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const TableIndexRecord *r = TableIndexRecordAt(index, mid);
    const int c = r ? Against(index, r, probe) : -2;
    if (c == -2) *ok = 0;
    if (c < 0 || (above && c == 0)) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

/* Where the fences of one level put the probe's bounds, given the bounds
 * [lo, hi] of fence counts at the level above: the window of this level's
 * elements that holds both bounds. */
static void Narrow(uint32_t belowAbove, uint32_t notAboveAbove, uint32_t count, uint32_t *lo,
                   uint32_t *hi) {
  *lo = belowAbove == 0 ? 0 : (belowAbove - 1) * TABLE_INDEX_FENCE + 1;
  uint64_t h = (uint64_t)notAboveAbove * TABLE_INDEX_FENCE;
  *hi = h < count ? (uint32_t)h : count;
  if (*lo > *hi) *lo = *hi;
}

int TableIndexStretch(const TableIndex *index, const char *key, int length, uint32_t *first,
                      uint32_t *last) {
  *first = *last = 0;
  if (index->recordCount == 0) return 1;
  Probe probe;
  ProbeOf(key, (uint32_t)length, &probe);
  int ok = 1;
  /* The top fences, then the fences below them, then the records. */
  const uint32_t topBelow = FenceBound(index, 1, 0, index->fenceCount[1], &probe, 0, &ok);
  const uint32_t topNotAbove = FenceBound(index, 1, topBelow, index->fenceCount[1], &probe, 1, &ok);
  uint32_t lo, hi;
  Narrow(topBelow, topNotAbove, index->fenceCount[0], &lo, &hi);
  const uint32_t below = FenceBound(index, 0, lo, hi, &probe, 0, &ok);
  const uint32_t notAbove = FenceBound(index, 0, below, hi, &probe, 1, &ok);
  Narrow(below, notAbove, index->recordCount, &lo, &hi);
  *first = RecordBound(index, lo, hi, &probe, 0, &ok);
  *last = RecordBound(index, *first, hi, &probe, 1, &ok);
  return ok ? 1 : -1;
}

/* ---- The least end of a stretch --------------------------------------------- */

/* The least end in records [lo, hi), ends above floor only; UINT32_MAX
 * when none. The mins answer for whole groups of records when no floor
 * applies. 0 and *ok cleared when damaged. */
uint32_t TableIndexLeastEnd(const TableIndex *index, uint32_t lo, uint32_t hi, int64_t floor,
                            int *ok) {
  uint32_t best = 0xFFFFFFFFu;
  auto take = [&](uint32_t e) {
    if ((int64_t)e > floor && e < best) best = e;
  };
  auto record = [&](uint32_t i) {
    const TableIndexRecord *r = TableIndexRecordAt(index, i);
    if (!r) *ok = 0;
    else take(r->end & TABLE_INDEX_END_MASK);
  };
  if (floor >= 0 || index->minLevels == 0) {
    for (uint32_t i = lo; i < hi && *ok; i++) record(i);
    return best;
  }
  /* The records at either side of whole groups, then the groups' mins, and
   * so up the levels. */
  uint32_t level = 0; /* 0: records, k: mins[k - 1] */
  for (;;) {
    auto element = [&](uint32_t i) {
      if (level == 0) return record(i);
      const uint32_t m = MinAt(index, level - 1, i, ok);
      if (*ok) take(m);
    };
    if (level == index->minLevels) {
      for (uint32_t i = lo; i < hi && *ok; i++) element(i);
      return best;
    }
    while (lo < hi && lo % TABLE_INDEX_MIN_FAN && *ok) element(lo++);
    while (lo < hi && hi % TABLE_INDEX_MIN_FAN && *ok) element(--hi);
    if (lo >= hi || !*ok) return best;
    lo /= TABLE_INDEX_MIN_FAN;
    hi /= TABLE_INDEX_MIN_FAN;
    level++;
  }
}

/* ---- The answer ------------------------------------------------------------- */

/* Whether the key occurs at `at` (-1 for a damaged file, 0 no, 1 yes). */
static int Holds(const TableIndex *index, const char *key, int length, int64_t at) {
  if (at < 0 || at + length > (int64_t)index->textLength) return 0;
  const char *text = TableIndexTextAt(index, (uint32_t)at, (uint32_t)length);
  if (!text) return -1;
  return MatchNoCase((const unsigned char *)key, (const unsigned char *)text, length);
}

/* Whether the scan reaches the occurrence at `at`: it passes over an
 * occurrence it turns down by the key's length, so it misses one that an
 * earlier occurrence it stopped at overlaps. Occurrences that overlap one
 * another form a cluster, which the scan enters at its first and walks by
 * the key's length. (An occurrence it stopped at and accepted would have
 * been the answer already: candidates are taken in the text's order.) -1
 * for a damaged file. */
static int Reached(const TableIndex *index, const char *key, int length, int64_t at) {
  int64_t first = at;
  for (int found = 1; found;) {
    found = 0;
    for (int64_t i = first - length + 1 < 0 ? 0 : first - length + 1; i < first; i++) {
      const int holds = Holds(index, key, length, i);
      if (holds < 0) return -1;
      if (holds) {
        first = i;
        found = 1;
        break;
      }
    }
  }
  for (int64_t position = first; position < at;) {
    int64_t next = position + length;
    for (;;) {
      if (next >= at) break;
      const int holds = Holds(index, key, length, next);
      if (holds < 0) return -1;
      if (holds) break;
      next++;
    }
    if (next > at) return 0;
    position = next;
  }
  return 1;
}

/* Skips white space from *p, checking each block as it goes; 1 when it
 * stopped on a byte of the text, 0 at its end, -1 for a damaged file. */
static int SkipWhiteChecked(const TableIndex *index, uint32_t *p) {
  while (*p < index->textLength) {
    const uint32_t piece = std::min<uint32_t>(TABLE_INDEX_BLOCK, index->textLength - *p);
    const char *text = TableIndexTextAt(index, *p, piece);
    if (!text) return -1;
    uint32_t i = 0;
    while (i < piece && TableIsWhite((unsigned char)text[i])) i++;
    *p += i;
    if (i < piece) return 1;
  }
  return 0;
}

/* The value after the '=' that follows the white space from end: 1, or -1
 * for a damaged file. */
static int ValueAfter(const TableIndex *index, uint32_t end, char *value) {
  uint32_t p = end;
  const int started = SkipWhiteChecked(index, &p);
  if (started < 0) return -1;
  const char *equals = started ? TableIndexTextAt(index, p, 1) : nullptr;
  if (!equals || *equals != '=') return -1; /* every end is followed by one */
  p++;
  if (SkipWhiteChecked(index, &p) < 0) return -1;
  /* An address ends within its line, which fits TABLE_LINE_MAX bytes: most
   * often within the block it starts in, which is read first. */
  const uint32_t rest = index->textLength - p;
  const uint32_t inBlock = TABLE_INDEX_BLOCK - (uint32_t)((index->file ? index->file->layout.textOffset
                                                                       : 0) + p) % TABLE_INDEX_BLOCK;
  uint32_t span = std::min(rest, inBlock);
  const char *text = TableIndexTextAt(index, p, span);
  if (!text) return -1;
  TableAddress address;
  TableAddressRead(text, text + span, &address);
  if (address.start + address.written == text + span && span < std::min<uint32_t>(TABLE_BUFFER, rest)) {
    span = std::min<uint32_t>(TABLE_BUFFER, rest);
    text = TableIndexTextAt(index, p, span);
    if (!text) return -1;
    TableAddressRead(text, text + span, &address);
  }
  memcpy(value, address.start, (size_t)address.length);
  value[address.length] = 0;
  return 1;
}

static int LookupIndexed(const TableIndex *index, const char *key, char *value, int *at) {
  const int length = (int)strlen(key);
  const int flaws = TableKeyFlaws(key, length);
  if (flaws & (TABLE_KEY_EMPTY | TABLE_KEY_TOO_LONG)) return 0;
  if (flaws & TABLE_KEY_CONTROL) {
    /* A key the program never asks for (it ends a query at its first byte
     * below 32): the text is scanned as one region, when it is in memory. */
    if (index->file) return -1;
    FastSearch search;
    TableSearchInit(&search, key);
    TableScan scan = {&search, PENDING_NONE, value, 0, -1};
    if (!TableScanRegion(&scan, index->text, index->text + index->textLength, 1)) return 0;
    *at = (int)scan.at;
    return 1;
  }
  uint32_t first, last;
  if (TableIndexStretch(index, key, length, &first, &last) < 0) return -1;
  int ok = 1;
  /* The stretch's ends in the text's order, until one the scan reaches. */
  for (int64_t floor = -1;;) {
    const uint32_t end = TableIndexLeastEnd(index, first, last, floor, &ok);
    if (!ok) return -1;
    if (end == 0xFFFFFFFFu) return 0;
    if (end < (uint32_t)length || end > index->textLength) return -1;
    const int64_t start = (int64_t)end - length;
    const int holds = Holds(index, key, length, start);
    if (holds != 1) return -1; /* the stretch holds the key's own ends only */
    const int reached = Reached(index, key, length, start);
    if (reached < 0) return -1;
    if (reached) {
      if (ValueAfter(index, end, value) < 0) {
        value[0] = 0;
        return -1;
      }
      *at = (int)start;
      return 1;
    }
    floor = end;
  }
}

int TableIndexLookup(const TableIndex *index, const char *key, char *value, int *at) {
  value[0] = 0;
  *at = -1;
  if (!index->file || !index->file->mapping.handle) return LookupIndexed(index, key, value, at);
  /* A file cut short under its view faults on the pages past its new end:
   * damaged, as far as this lookup can tell. */
  OsFaultTrap trap;
  if (OS_FAULT_TRAPPED(&trap)) {
    value[0] = 0;
    *at = -1;
    return -1;
  }
  const int found = LookupIndexed(index, key, value, at);
  OsFaultTrapClear(&trap);
  return found;
}

/* ---- Building in memory ------------------------------------------------------ */

int64_t TableIndexRoom(const char *text, int length) {
  const uint32_t count =
      EachEnd((const unsigned char *)text, (uint32_t)length, 0, (uint32_t)length, [](uint32_t) {});
  return (int64_t)count * (int64_t)sizeof(TableIndexRecord) + TableIndexSummaryRoom(count);
}

int64_t TableIndexSummaryRoom(uint32_t count) {
  TableIndexLayout layout;
  Summaries(count, &layout);
  int64_t room = 8 * ((int64_t)layout.fenceCount[0] + layout.fenceCount[1]);
  for (uint32_t k = 0; k < layout.minLevels; k++) room += 4 * (int64_t)layout.minCount[k];
  return room;
}

void TableIndexSummarize(TableIndex *index, void *summaries) {
  TableIndexLayout layout;
  Summaries(index->recordCount, &layout);
  uint64_t *fences = (uint64_t *)summaries;
  for (int k = 0; k < 2; k++) {
    const uint64_t step = k == 0 ? (uint64_t)TABLE_INDEX_FENCE : (uint64_t)TABLE_INDEX_FENCE * TABLE_INDEX_FENCE;
    index->fences[k] = fences;
    index->fenceCount[k] = layout.fenceCount[k];
    for (uint32_t i = 0; i < layout.fenceCount[k]; i++) fences[i] = index->records[i * step].key0;
    fences += layout.fenceCount[k];
  }
  uint32_t *mins = (uint32_t *)fences;
  index->minLevels = layout.minLevels;
  for (uint32_t k = 0; k < TABLE_INDEX_MIN_LEVELS; k++) {
    index->mins[k] = k < layout.minLevels ? mins : nullptr;
    index->minCount[k] = layout.minCount[k];
    for (uint32_t i = 0; i < layout.minCount[k]; i++) {
      uint32_t least = 0xFFFFFFFFu;
      const uint32_t below = k == 0 ? index->recordCount : layout.minCount[k - 1];
      for (uint32_t j = i * TABLE_INDEX_MIN_FAN; j < below && j < (i + 1) * TABLE_INDEX_MIN_FAN; j++) {
        const uint32_t e = k == 0 ? index->records[j].end & TABLE_INDEX_END_MASK : index->mins[k - 1][j];
        if (e < least) least = e;
      }
      mins[i] = least;
    }
    mins += layout.minCount[k];
  }
}

int TableIndexBuild(TableIndex *index, const char *text, int length, void *room) {
  memset(index, 0, sizeof(*index));
  index->text = text;
  index->textLength = (uint32_t)length;
  TableIndexRecord *records = (TableIndexRecord *)room;
  uint32_t n = 0;
  EachEnd((const unsigned char *)text, (uint32_t)length, 0, (uint32_t)length, [&](uint32_t end) {
    TableIndexRecord *r = &records[n++];
    r->end = end;
    TableIndexOrderKey(text, end & TABLE_INDEX_END_MASK, &r->key0, &r->key1);
  });
  TableIndexSort(text, records, n);
  index->records = records;
  index->recordCount = n;
  TableIndexSummarize(index, records + n);
  return 1;
}

/* ---- The file ---------------------------------------------------------------- */

int TableIndexPath(const char *tablePath, char *indexPath, int size) {
  const size_t length = strlen(tablePath);
  const size_t name = length - (length >= 4 && memcmp(tablePath + length - 4, ".txt", 4) == 0 ? 4 : 0);
  if (name + sizeof(".idx") > (size_t)size) {
    if (size > 0) indexPath[0] = 0;
    return 0;
  }
  memcpy(indexPath, tablePath, name);
  memcpy(indexPath + name, ".idx", sizeof(".idx"));
  return 1;
}

int TableIndexSettled(const OsFileStamp *table, int64_t readSeconds, int64_t readNanos) {
  int64_t seconds = table->modified, nanos = table->modifiedNanos;
  if (table->changed > seconds || (table->changed == seconds && table->changedNanos > nanos)) {
    seconds = table->changed;
    nanos = table->changedNanos;
  }
  /* A file system that keeps whole seconds (or two) may give a change in
   * the same second the same stamp; a finer one ticks within 10 ms. */
  const int64_t margin =
      table->modifiedNanos == 0 && table->changedNanos == 0 ? 2000000000LL : 20000000LL;
  const int64_t gap = (readSeconds - seconds) * 1000000000LL + (readNanos - nanos);
  return gap >= margin;
}

static int SameTable(const TableIndexHeader *h, const OsFileStamp *s) {
  return h->tableDevice == s->device && h->tableInode == s->inode && h->tableSize == s->size &&
         h->tableModified == s->modified && h->tableModifiedNanos == s->modifiedNanos &&
         h->tableChanged == s->changed && h->tableChangedNanos == s->changedNanos;
}

/* Checks the header (available of its bytes at header) of a file of size
 * bytes, and works its layout out. */
static int CheckHeader(const char *header, uint64_t available, int64_t size,
                       const OsFileStamp *table, TableIndexFile *file) {
  if (size < TABLE_INDEX_HEADER || available < TABLE_INDEX_HEADER) return TABLE_INDEX_DAMAGED;
  const TableIndexHeader *h = (const TableIndexHeader *)header;
  file->header = h;
  file->headerBytes = header;
  if (memcmp(h->magic, TABLE_INDEX_MAGIC, 8) != 0 || h->byteOrder != 0x01020304u)
    return TABLE_INDEX_DAMAGED;
  if (h->version != TABLE_INDEX_VERSION) return TABLE_INDEX_DAMAGED;
  TableIndexLayout *layout = &file->layout;
  if (!TableIndexLayoutOf(h->recordCount, h->textLength, h->lineCount, h->flags, layout) ||
      h->fileTextEnd > h->fileDataEnd || (int64_t)h->fileDataEnd > h->tableSize ||
      h->headerSize != layout->headerSize || h->fileSize != layout->fileSize ||
      (uint64_t)size != layout->fileSize || h->headerSize > available ||
      h->textEnd > TABLE_INDEX_ENDS_AT_LONG_LINE)
    return TABLE_INDEX_DAMAGED;
  uint64_t stored;
  memcpy(&stored, header + h->headerSize - 8, 8);
  if (TableIndexHeaderSum(header, h->headerSize - 8) != stored) return TABLE_INDEX_DAMAGED;
  if (table && !SameTable(h, table)) return TABLE_INDEX_FOREIGN;
  if (table && !TableIndexSettled(table, h->readSeconds, h->readNanos)) return TABLE_INDEX_UNSETTLED;
  return TABLE_INDEX_OK;
}

/* The index's parts: where they lie in a view, or null where each is read
 * apart. */
static void SetParts(TableIndexFile *file, TableIndex *index) {
  const TableIndexHeader *h = file->header;
  const TableIndexLayout *layout = &file->layout;
  const char *bytes = file->mapping.bytes;
  auto part = [bytes](uint64_t offset) { return bytes ? bytes + offset : nullptr; };
  index->file = file;
  index->text = part(layout->textOffset);
  index->textLength = h->textLength;
  index->recordCount = h->recordCount;
  index->records = (const TableIndexRecord *)part(layout->recordsOffset);
  for (int k = 0; k < 2; k++) {
    index->fences[k] = (const uint64_t *)part(layout->fenceOffset[k]);
    index->fenceCount[k] = layout->fenceCount[k];
  }
  index->minLevels = layout->minLevels;
  for (uint32_t k = 0; k < TABLE_INDEX_MIN_LEVELS; k++) {
    index->mins[k] = (const uint32_t *)part(layout->minOffset[k]);
    index->minCount[k] = layout->minCount[k];
  }
  index->lineCount = h->lineCount;
  index->lines = (const uint32_t *)part(layout->linesOffset);
  index->fileLines = h->flags & TABLE_INDEX_RETURNS ? (const uint32_t *)part(layout->fileLinesOffset)
                                                    : index->lines;
}

static void EmptyFile(TableIndexFile *file) {
  memset(file, 0, sizeof(*file));
  file->file.handle = OS_NO_FILE;
}

int TableIndexOpenBytes(const char *bytes, int64_t size, const OsFileStamp *table,
                        TableIndexFile *file, TableIndex *index) {
  memset(index, 0, sizeof(*index));
  EmptyFile(file);
  file->mapping.bytes = bytes;
  file->mapping.size = size;
  const int why = CheckHeader(bytes, size > 0 ? (uint64_t)size : 0, size, table, file);
  if (why == TABLE_INDEX_OK) SetParts(file, index);
  return why;
}

int TableIndexOpen(const char *path, const OsFileStamp *table, TableIndexFile *file,
                   TableIndex *index) {
  EmptyFile(file);
  memset(index, 0, sizeof(*index));
  OsFile handle;
  if (!IoFileOpen(&handle, path, OS_OPEN_READ, nullptr)) return TABLE_INDEX_MISSING;
  OsFileStamp own;
  OsMapping mapping = {nullptr, 0, 0};
  const int stamped = OsFileStampOpen(handle, &own);
  const int tooShort = stamped && own.size < TABLE_INDEX_HEADER;
  const int mapped = stamped && !tooShort && OsFileMap(handle, own.size, &mapping);
  OsFileClose(handle);
  if (!mapped) return tooShort ? TABLE_INDEX_DAMAGED : TABLE_INDEX_MISSING;
  volatile int why = TABLE_INDEX_DAMAGED;
  OsFaultTrap trap;
  if (!OS_FAULT_TRAPPED(&trap)) {
    why = TableIndexOpenBytes(mapping.bytes, mapping.size, table, file, index);
    OsFaultTrapClear(&trap);
  }
  file->mapping = mapping;
  file->own = own;
  if (why != TABLE_INDEX_OK) TableIndexCloseFile(file);
  return why;
}

int TableIndexOpenRead(const char *path, const OsFileStamp *table, TableIndexReads *reads,
                       TableIndexFile *file, TableIndex *index) {
  EmptyFile(file);
  memset(index, 0, sizeof(*index));
  if (!IoFileOpen(&file->file, path, OS_OPEN_READ, nullptr)) return TABLE_INDEX_MISSING;
  file->reads = reads;
  int why = TABLE_INDEX_DAMAGED;
  if (OsFileStampOpen(file->file, &file->own)) {
    /* The header's least size first; a larger one then whole. */
    const int64_t size = file->own.size;
    int got = OsFileReadAt(file->file, reads->header, TABLE_INDEX_HEADER, 0);
    if (got == TABLE_INDEX_HEADER) {
      const uint32_t headerSize = ((const TableIndexHeader *)reads->header)->headerSize;
      if (headerSize > TABLE_INDEX_HEADER && headerSize <= sizeof(reads->header))
        got = OsFileReadAt(file->file, reads->header, (int)headerSize, 0);
      why = CheckHeader(reads->header, (uint64_t)got, size, table, file);
    }
  }
  if (why == TABLE_INDEX_OK) SetParts(file, index);
  else TableIndexCloseFile(file);
  return why;
}

void TableIndexCloseFile(TableIndexFile *file) {
  if (file->mapping.handle) OsFileUnmap(&file->mapping);
  memset(&file->mapping, 0, sizeof(file->mapping));
  if (file->file.handle != OS_NO_FILE) OsFileClose(file->file);
  file->file.handle = OS_NO_FILE;
}
