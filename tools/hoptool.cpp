// hoptool - the command line: subcommands, help, and the exit status for a
// command line it cannot use (2, with a message that says why).
#include "hoptool.h"

#include <stdio.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char **argv) {
#ifdef _WIN32
  // The same bytes as everywhere: a line ends in LF, a table's CR LF stays
  // its own, the pairs of an import arrive as they were written.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  CLI::App app{
      "hoptool - helps the webmaster of linkhop, the HTTP redirector.\n"
      "Run 'hoptool COMMAND --help' for what each command does."};
  app.name("hoptool");
  app.set_version_flag("--version", "hoptool " HOPTOOL_VERSION);
  app.require_subcommand(1);
  // A path such as /srv/... is a path everywhere, never a Windows-style
  // option.
  app.allow_windows_style_options(false);
  // The command list shows each command's line of summary; its own --help
  // says the rest.
  int status = kHoptoolOk;
  AddLookupCommand(app, &status);
  AddCheckCommand(app, &status);
  AddStatsCommand(app, &status);
  AddEditCommands(app, &status);
  AddIndexCommand(app, &status);
  // A word where the command goes that names none: say so, rather than
  // that a command is missing.
  bool known = false;
  std::string names;
  for (CLI::App *command : app.get_subcommands([](CLI::App *) { return true; })) {
    known |= argc > 1 && command->get_name() == argv[1];
    names += (names.empty() ? "" : ", ") + command->get_name();
  }
  if (argc > 1 && argv[1][0] != '-' && !known) {
    fprintf(stderr, "hoptool: no command named '%s' (%s; see --help)\n", argv[1],
            names.c_str());
    return kHoptoolTrouble;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    app.exit(e);  // prints what was wrong
    return kHoptoolTrouble;
  }
  return status;
}
