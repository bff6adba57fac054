#pragma once

// tavrel-control --export-history [--since TIME] [--until TIME]: the history as CSV
// on standard output, with no window and without the one-program lock, so that it
// also works while the program runs.
namespace HistoryCommand {

bool isRequested(int argc, char **argv);
int run(int argc, char **argv);

} // namespace HistoryCommand
