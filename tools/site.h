// site - where a command's TABLE or PATH leads: a path, a site's name
// (linkhop-site add NAME: the site's folder SITES/NAME holds the program's
// link and its hopdata/), or, when it is left out, the installed program's
// own table and logs.
#ifndef HOPTOOL_SITE_H
#define HOPTOOL_SITE_H

#include <string>
#include <vector>

#include "CLI/CLI.hpp"

namespace hoptool {

// What TABLE means in every command's help.
extern const char kTableHelp[];

// The table that word names: a path as it stands when it holds a '/' or
// names a file here, else the site of that name's table. false, with the
// reason, for a word that is neither.
bool TableOf(const std::string &word, std::string *table, std::string *error);

// The same for a PATH of stats: a site's name gives the site's log folder.
bool LogsOf(const std::string &word, std::string *logs, std::string *error);

// The installed program's own log folder, for stats given no PATH.
std::string DefaultLogs();

// The index of the table at path: given when it is not empty; where the
// program reads it when path is the installed program's table or a site's;
// else beside the table (config.txt: config.idx).
std::string IndexPathFor(const std::string &path, const std::string &given);

// A command's positionals, TABLE first: when one fewer than all were given,
// TABLE was left out and the others move along; TABLE then names the
// installed program's own table. *table gets the table to use. false, with
// a message that names what is missing, otherwise.
bool TakeTable(const std::string &command, const std::vector<CLI::Option *> &options,
               const std::vector<std::string *> &words, std::string *table, std::string *error);

}  // namespace hoptool

#endif
