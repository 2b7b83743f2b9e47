// hoptool - the webmaster's companion to linkhop: one executable, one
// subcommand per task. Each subcommand lives in a source of its own and adds
// itself to the command line here.
#ifndef LINKHOP_HOPTOOL_H
#define LINKHOP_HOPTOOL_H

#include <CLI/CLI.hpp>

// Exit statuses shared by every subcommand.
enum HoptoolStatus {
  kHoptoolOk = 0,
  kHoptoolFindings = 1,  // a miss, or errors found
  kHoptoolTrouble = 2    // bad usage, or an input that cannot be read
};

// Each adds its subcommand to app; when the subcommand runs, it stores its
// exit status in *status.
void AddLookupCommand(CLI::App &app, int *status);
void AddCheckCommand(CLI::App &app, int *status);
void AddStatsCommand(CLI::App &app, int *status);
// add, set, rm and import, and index: not in a Windows build.
void AddEditCommands(CLI::App &app, int *status);
void AddIndexCommand(CLI::App &app, int *status);

#endif
