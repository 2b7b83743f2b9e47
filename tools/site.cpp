// site - the table and the logs a command's words name.
#include "site.h"

#include <filesystem>
#include <system_error>

#include "tableindex.h"

namespace hoptool {

namespace {

// Where the installed program and its sites live (tools/CMakeLists.txt).
const std::string kSites = HOPTOOL_SITES_DIR;
const std::string kData = HOPTOOL_DATA_DIR;

bool Exists(const std::string &path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found &&
         !error;
}

// A word that can name a site: a file name, never a way out of the
// sites' folder.
bool SiteLike(const std::string &word) {
  if (word.empty() || word[0] == '.' || word.find('/') != std::string::npos) return false;
  for (unsigned char c : word)
    if (c < 32 || c == 127 || c == '\\') return false;
  return true;
}

std::string SiteNames() {
  std::string names;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(kSites, error)) {
    const std::string name = entry.path().filename().string();
    if (SiteLike(name) && Exists(kSites + "/" + name + "/hopdata"))
      names += (names.empty() ? "" : ", ") + name;
  }
  return names.empty() ? "there is none: linkhop-site add NAME makes one" : "sites: " + names;
}

// The folder of the site word names, or "" with the reason.
std::string SiteFolder(const std::string &word, const char *what, std::string *error) {
  if (!SiteLike(word) || !Exists(kSites + "/" + word + "/hopdata")) {
    *error = word + ": no such " + what + " here, and no site of that name (" + SiteNames() + ")";
    return "";
  }
  return kSites + "/" + word;
}

bool Same(const std::string &a, const std::string &b) {
  std::error_code x, y;
  const auto p = std::filesystem::canonical(a, x), q = std::filesystem::canonical(b, y);
  return !x && !y && p == q;
}

// A path as it stands when it holds a '/' or names a file here, else the
// file inSite of the site of that name.
bool Named(const std::string &word, const char *what, const char *inSite, std::string *out,
           std::string *error) {
  if (word.find('/') != std::string::npos || Exists(word)) {
    *out = word;
    return true;
  }
  const std::string folder = SiteFolder(word, what, error);
  if (folder.empty()) return false;
  *out = folder + inSite;
  return true;
}

}  // namespace

const char kTableHelp[] =
    "the redirect table: a path, or a site's name (linkhop-site list); left out, the "
    "installed program's own table";

bool TableOf(const std::string &word, std::string *table, std::string *error) {
  return Named(word, "table", "/hopdata/config.txt", table, error);
}

bool LogsOf(const std::string &word, std::string *logs, std::string *error) {
  return Named(word, "log or folder", "/hopdata/logs", logs, error);
}

std::string DefaultLogs() { return kData + "/logs"; }

std::string IndexPathFor(const std::string &path, const std::string &given) {
  if (!given.empty()) return given;
  if (Same(path, kData + "/config.txt")) return kData + "/config.idx";
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(kSites, error)) {
    const std::string hopdata = entry.path().string() + "/hopdata";
    if (Same(path, hopdata + "/config.txt")) return hopdata + "/config.idx";
  }
  std::vector<char> index(path.size() + 8);
  TableIndexPath(path.c_str(), index.data(), (int)index.size());
  return index.data();
}

bool TakeTable(const std::string &command, const std::vector<CLI::Option *> &options,
               const std::vector<std::string *> &words, std::string *table, std::string *error) {
  size_t given = 0;
  while (given < options.size() && options[given]->count() > 0) given++;
  std::string names;
  for (size_t i = 1; i < options.size(); i++) names += " " + options[i]->get_name();
  const std::string usage = "hoptool " + command + " [TABLE]" + names;
  if (given == options.size()) return TableOf(*words[0], table, error);
  if (given + 1 < options.size()) {
    // The words given are read as the ones after TABLE: what follows them is missing.
    std::string missing;
    for (size_t i = given + 1; i < options.size(); i++)
      missing += (missing.empty() ? "" : " and ") + options[i]->get_name();
    *error = command + ": " + missing + (given + 2 < options.size() ? " are" : " is") +
             " missing (" + usage + ")";
    return false;
  }
  // TABLE left out: the others move along.
  for (size_t i = options.size() - 1; i > 0; i--) *words[i] = *words[i - 1];
  const std::string own = kData + "/config.txt";
  if (!Exists(own)) {
    *error = command + ": no TABLE given, and the installed program's own table " + own +
             " does not exist (" + usage + "; TABLE: a path, or a site's name)";
    return false;
  }
  *table = own;
  return true;
}

}  // namespace hoptool
