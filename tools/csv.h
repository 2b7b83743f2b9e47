// csv - the records of a CSV file (RFC 4180), read strictly: fields
// separated by commas, records by LF or CR LF; a field that starts with a
// double quote runs to the next lone one, holds commas, line ends and
// doubled quotes (one quote each), and is followed by a comma or the
// record's end. A quote anywhere else, a byte after a closing quote, and
// a quoted field still open at the end are errors. A field's spaces are
// its own. An empty line is no record.
#ifndef HOPTOOL_CSV_H
#define HOPTOOL_CSV_H

#include <istream>
#include <string>
#include <vector>

namespace hoptool {

struct CsvRecord {
  std::vector<std::string> fields;
  int line;  // the line of the input where the record ends, from 1
};

// Reads every record of in into *records. false, with the reason in
// *error ("NAME:LINE: not CSV: ..."), for input that is not CSV or cannot
// be read; name is how the input is shown.
bool ReadCsv(std::istream &in, const std::string &name, std::vector<CsvRecord> *records,
             std::string *error);

}  // namespace hoptool

#endif
