#pragma once

#include "filereplacement.h"
#include "inputfile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <filesystem>
#include <functional>

class QIODevice;

namespace image {

// Output files that appear complete and together, or not at all.
//
// add() writes one file. A regular file, new or existing, is written under a
// short temporary name in its folder (so that any name the folder takes
// works) and flushed to the disk; a symbolic link is followed, so the file it
// names is replaced and the link stays. A link to nothing, a loop of links and
// a folder are refused. An existing file that is not a regular file (a device
// such as /dev/null, a FIFO) is never replaced: its contents are kept in
// memory and written into it by commit().
//
// A temporary is created anew, never opened over an existing file; its mode
// and owner are set through its descriptor, and commit() renames it only while
// its name still is the file written (same device and inode, or volume and
// file index on Windows). Nothing else is done to it by name, so whoever may
// change the folder cannot turn the process's rights onto another file.
//
// What is guaranteed:
// - commit() Ok: every file holds its new contents. A replaced file keeps
//   its permission bits, and its owner where the process may set it (on
//   Windows it has what its folder gives a new file).
// - A replaced name holds the whole old file or the whole new one at every
//   moment: the new file is renamed over it. Where something can still fail
//   after its rename (another file's rename, a device's write, the last
//   check), the old file is kept by a second (hard) link until all are in
//   place and checked. Where the file system refuses hard links, the old file
//   is renamed aside instead, and its name is missing between that rename and
//   the next.
// - commit() or add() failed, or the object gone without commit(): every
//   regular target is as it was before. Files already renamed into place are
//   taken back (a replaced file gets its old contents back, a new one is
//   removed) and no temporary is left, unless the system refuses even that,
//   which the result's error then says.
// - Devices and FIFOs are written after every rename and before the last
//   check; what reached one cannot be taken back.
// A process killed outright can leave a ".vr480-<8 hex digits>.part" or
// ".old" file next to its target.
class OutputFiles {
public:
    using Writer = std::function<bool(QIODevice &)>;

    OutputFiles() = default;
    ~OutputFiles();
    Q_DISABLE_COPY(OutputFiles)

    // CannotWrite, its error naming the file, when the file cannot be made
    // or `write` fails; the batch then stays failed: add() and commit() give
    // that first failure again, and commit() writes nothing.
    FileResult add(const QString &fileName, const Writer &write);
    // `stop` is asked before each rename: true takes back what is in place
    // and ends Interrupted. `lastCheck` runs once everything is in place (where
    // a caller says which files it wrote): a reason it gives takes every
    // file back and ends CannotWrite with that reason as the error.
    using LastCheck = std::function<QString()>;
    FileResult commit(const StopCheck &stop = {}, const LastCheck &lastCheck = {});

    // A writer of `contents` as they are.
    static Writer writerOf(const QByteArray &contents);
    // True when both names lead to one existing file (through links too), so
    // that an output would overwrite an input.
    static bool sameFile(const QString &a, const QString &b);
    // Why `fileName` cannot be an output: a folder, a link to nothing, a loop
    // of links, a folder that does not exist on its way. Empty when it can.
    static QString targetProblem(const QString &fileName);

private:
    FileResult fail(const QString &fileName, const QString &reason);
    void notRestored(const QString &fileName);
    void discard();

    struct Entry {
        QString name;                    // as given, for messages
        std::filesystem::path target;    // the file to replace, links followed
        std::filesystem::path temporary; // its new contents; empty for a device or FIFO
        QByteArray direct;               // the contents for a device or FIFO
        FileIdentity identity;           // the temporary's
    };
    static bool isWritten(const Entry &entry);
    QList<Entry> pending;
    FileResult batchResult; // Ok, or the batch's first failure
};

} // namespace image
