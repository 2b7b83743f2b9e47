// hoptool stats - what the request logs say (placeholder: not yet built).
#include <stdio.h>

#include "hoptool.h"

void AddStatsCommand(CLI::App &app, int *status) {
  CLI::App *stats = app.add_subcommand("stats", "Summarise request logs");
  stats->callback([status] {
    fprintf(stderr, "hoptool stats: not built yet\n");
    *status = kHoptoolTrouble;
  });
}
