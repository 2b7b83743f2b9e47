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

// Writes the index of draft's table, for the table of file, at indexPath,
// under the table's lock, once the table's bytes are known to be the file's
// (see SettleTable). read: the draft is the table as this process read it
// (not as it wrote it), at the time file records.
bool WriteIndex(TableFile *file, const std::string &indexPath, const Draft &draft, bool read,
                std::string *error);

}  // namespace hoptool

#endif
