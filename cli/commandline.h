#pragma once
// vr480-cli: the window's image builders, upgrade and service tools as
// commands for scripts, build servers and production lines.

#include <QStringList>

namespace cli {

// Runs the command in `arguments` (the program's name first) and returns the
// exit status (upgrade/exitstatus.h). Results and log lines go to standard
// output, messages about failures to standard error. `terminal` tells whether
// standard output is a terminal (progress bars rather than percentage lines).
int runCommandLine(const QStringList &arguments, bool terminal);

} // namespace cli
