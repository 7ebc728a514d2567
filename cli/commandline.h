#pragma once
// vr480-cli: the window's image builders, upgrade and service tools as
// commands for scripts, build servers and production lines.

#include <QStringList>

// Exit statuses, as the README documents them.
enum ExitStatus {
    ExitOk = 0,
    ExitDeviceFailed = 1, // the device failed an operation or its verification
    ExitUsage = 2,        // unknown command, missing or invalid argument
    ExitBadInput = 3,     // an input file that cannot be read or is refused
    ExitCannotWrite = 4,  // an output file that cannot be written
    ExitNoDevice = 5,     // no VR480 answered
    ExitInterrupted = 130 // stopped by Ctrl+C or a termination signal
};

// Runs the command in `arguments` (the program's name first) and returns the
// exit status. Results and log lines go to standard output, messages about
// failures to standard error. `terminal` tells whether standard output is a
// terminal (progress bars rather than percentage lines).
int runCommandLine(const QStringList &arguments, bool terminal);
