#pragma once
// The report file that vr480-cli appends its records to: the system calls of
// its opening and of an append that another appender cannot interleave with,
// one implementation per system: reportfile_posix.cpp and reportfile_win.cpp.

#include <QByteArray>
#include <QString>

namespace cli {

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

} // namespace cli
