// What the fuzz targets share: the core runtime started once per process,
// and a check that turns a broken invariant into a finding.
//
// A fatal report of the library ends the process through exit(1); libFuzzer
// counts an exit during a run as a finding ("fuzz target exited") and saves
// the input, so a report that input can reach fails the run. The switch
// word 0 keeps the library quiet otherwise; the report itself still reaches
// standard error.
#ifndef LINKHOP_FUZZ_SUPPORT_H
#define LINKHOP_FUZZ_SUPPORT_H

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tsl-core.h"
#include "tsl-io.h"

#define FUZZ_CHECK(condition)                                                             \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      abort();                                                                            \
    }                                                                                     \
  } while (0)

// Starts the core runtime and the tracked heap once; commandLine must stay
// valid until the process ends.
inline void FuzzStartup(const char *commandLine) {
  static bool started = false;
  if (started) return;
  started = true;
  IoSetCommandLineForTest(commandLine);
  CoreStartup("debug.log", 0);
  MemoryInit(MEMORY_NO_LIMIT, 0);
}

// A temporary <folder>/cgi-bin/hopdata/ for a target that runs the program
// against a table of its own, removed with the table when the process ends.
// Returns the cgi-bin folder; the program's path is that plus "/linkhop".
inline const std::string &FuzzProgramFolder() {
  static std::string programDir;
  if (!programDir.empty()) return programDir;
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/linkhop-fuzz-XXXXXX";
  if (!mkdtemp(&pattern[0])) abort();
  programDir = pattern + "/cgi-bin";
  if (mkdir(programDir.c_str(), 0700) != 0 || mkdir((programDir + "/hopdata").c_str(), 0700) != 0)
    abort();
  atexit([] {
    unlink((programDir + "/hopdata/config.txt").c_str());
    rmdir((programDir + "/hopdata").c_str());
    rmdir(programDir.c_str());
    rmdir(programDir.substr(0, programDir.size() - 8).c_str());
  });
  return programDir;
}

#endif
