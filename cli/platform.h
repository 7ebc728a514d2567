#pragma once
// What vr480-cli's process needs from the system, one implementation per
// system: platform_posix.cpp and platform_win.cpp.

#include <QString>
#include <QStringList>

#include <cstdio>

namespace cli {

// The program's arguments as the system gives them: on Unix bytes, decoded so
// that a file name comes back as exactly its bytes (image::decodeFileName);
// on Windows UTF-16.
QStringList programArguments(int argc, char **argv);
// The program's name for its messages, from its first argument: the file
// name, without ".exe" on Windows.
QString programNameOf(const QString &firstArgument);
// Prepares standard output for the commands: on Windows binary, so that "-o -"
// writes the bytes as they are. True when it is a terminal that takes the
// progress's control sequences (on Windows, a console that could be switched
// to them).
bool prepareStandardOutput();
// Why the process cannot hold `count` more open files at once (ulimit -n);
// empty when it can.
QString openFilesShortage(int count);
// Whether `stream` is a terminal.
bool isTerminal(std::FILE *stream);

} // namespace cli
