#pragma once
// What vr480-cli's process needs from the system, one implementation per
// system: platform_posix.cpp and platform_win.cpp.

#include <QByteArray>
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

// A file opened for appending records to (a FIFO without a reader fails the
// open at once), for reading too where it is a regular file this user may
// read; a descriptor, or -1 with the reason in *reason. On Unix a symbolic
// link on the way is followed only when this user or root owns it, so that
// whoever may change a folder cannot send the records into another user's
// file.
int openForAppending(const QString &fileName, QString *reason);
// Appends the whole of `bytes` as a line of its own, then flushes it to the
// disk: 0, or an error number. Under a lock that every appender takes (waited
// for at most kAppendLockWaitMs, then done without), a last line that a cut
// write left without its newline (a full disk, a program killed while
// writing) is ended first, so that it never swallows the next record.
int appendWhole(int fd, const QByteArray &bytes);
inline constexpr int kAppendLockWaitMs = 5000;
void closeAppending(int fd);
// Whether `stream` is a terminal.
bool isTerminal(std::FILE *stream);

} // namespace cli
