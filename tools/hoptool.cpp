// hoptool - the command line: subcommands, help, and the exit status for a
// command line it cannot use (2, with a message that says why).
#include "hoptool.h"

#include <stdio.h>

int main(int argc, char **argv) {
  CLI::App app{
      "hoptool - helps the webmaster of linkhop, the HTTP redirector.\n"
      "Run 'hoptool COMMAND --help' for what each command does."};
  app.name("hoptool");
  app.require_subcommand(1);
  int status = kHoptoolOk;
  AddStatsCommand(app, &status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    app.exit(e);  // prints what was wrong
    return kHoptoolTrouble;
  }
  return status;
}
