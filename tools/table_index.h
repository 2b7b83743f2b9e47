// table_index - where a table's index lives, and its writing: the work of
// hoptool index, and the second half of every edit.
#ifndef LINKHOP_TABLE_INDEX_H
#define LINKHOP_TABLE_INDEX_H

#include <functional>
#include <string>
#include <vector>

#include "table_check.h"
#include "table_edit.h"
#include "table_write.h"
#include "tableindex.h"
#include "tableindex_write.h"

namespace hoptool {

// The index of draft's table, all but its header through sink, and the
// header, without the table's stamp and read time (TableIndexRestamp),
// into *header. The text is read again from table where it is the
// table's bytes (OS_NO_FILE: from the draft). false, and *failed when it
// can say more than the sink, when a piece did not go.
bool ComposeIndex(OsFile table, const Draft &draft, TableIndexSink sink, void *context,
                  std::vector<unsigned char> *header, std::string *failed);

// Writes the index of draft's table, for the table of file, at indexPath,
// under the table's lock, once the table's bytes are known to be the file's
// (see SettleTable). read: the draft is the table as this process read it
// (not as it wrote it), at the time file records. wait: as ReplaceTable's.
// letGo closes what holds the old index, once the new one is written.
bool WriteIndex(TableFile *file, const std::string &indexPath, const Draft &draft, bool read,
                double wait, const std::function<void()> &letGo, std::string *error);

}  // namespace hoptool

#endif
