#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>

class QIODevice;

// Output files that appear complete and together, or not at all.
//
// add() writes one file. A regular file, new or existing, is written under a
// temporary name next to it and flushed to the disk; a symbolic link is
// followed, so the file it names is replaced and the link stays. An existing
// file that is not a regular file (a device such as /dev/null, a FIFO) is
// never replaced: its contents are kept in memory and written into it by
// commit().
//
// What is guaranteed:
// - commit() true: every file holds its new contents. A replaced file keeps
//   its permission bits, and its owner where the process may set it.
// - commit() false, add() false, or the object gone without commit(): every
//   regular target is as it was before. Files already renamed into place are
//   taken back (a replaced file gets its old contents back, a new one is
//   removed) and no temporary is left, unless the system refuses even that,
//   which errorString() then says.
// - Devices and FIFOs are written last, after every rename; what reached one
//   cannot be taken back.
// A process killed outright can leave a "<target>.<8 hex digits>.part" or
// ".old" file next to its target.
class OutputFiles {
public:
    using Writer = std::function<bool(QIODevice &)>;

    OutputFiles() = default;
    ~OutputFiles();
    Q_DISABLE_COPY(OutputFiles)

    // False when the file cannot be made or `write` fails; the batch then
    // stays failed and commit() writes nothing.
    bool add(const QString &fileName, const Writer &write);
    bool commit();

    // A writer of `contents` as they are.
    static Writer bytes(const QByteArray &contents);
    // True when both names lead to one existing file (through links too), so
    // that an output would overwrite an input.
    static bool sameFile(const QString &a, const QString &b);

    // What went wrong, naming the file; empty while nothing has.
    QString errorString() const { return error; }

private:
    bool fail(const QString &fileName, const QString &reason);
    void discard();

    struct Entry {
        QString target;    // the file to replace, links followed
        QString temporary; // its new contents; empty for a device or FIFO
        QByteArray direct; // the contents for a device or FIFO
    };
    QList<Entry> pending;
    QString error;
};
