#pragma once
// The system's side of OutputFiles: names, new files written through their
// own handles, their identity, the attributes a replaced file passes on, and
// renames. One implementation per system: filereplacement_posix.cpp and
// filereplacement_win.cpp.

#include <QString>
#include <QtGlobal>

#include <filesystem>
#include <optional>

class QFile;

namespace image {

// A file name as the system takes it: on Unix the bytes the name came from
// (decodeFileName), on Windows UTF-16.
std::filesystem::path nativePath(const QString &fileName);

// What tells one file from another on its file system: device and inode, or
// volume serial and file index.
struct FileIdentity {
    quint64 volume = 0;
    quint64 index = 0;
};

// What a replaced file passes on to the file that replaces it: on Unix its
// permission bits and owner; nothing on Windows, where the new file keeps
// what its folder gives it.
struct FileAttributes {
    quint32 mode = 0;
    qint64 owner = -1;
    qint64 group = -1;
};
// Those of `path` (links followed); none where the system has none to pass on.
std::optional<FileAttributes> attributesOf(const std::filesystem::path &path);

// Creates `path` as a new file, never over an existing one (*nameTaken then
// says so), and opens it in `file` for unbuffered writing. With `attributes`
// (a file is being replaced) it is readable by its owner alone until
// passAttributes(). *identity is the new file's.
bool createNewFile(const std::filesystem::path &path, const std::optional<FileAttributes> &attributes,
                   QFile &file, FileIdentity *identity, bool *nameTaken, QString *reason);
// Gives the open new file `attributes`, through its handle: the owner where
// the process may set it, then the permission bits.
bool passAttributes(QFile &file, const FileAttributes &attributes, QString *reason);
// Puts what was written to `file` on the disk.
bool flushToDisk(QFile &file, QString *reason);

// True while `path` itself (not a link) is the regular file `identity` names.
bool isFile(const std::filesystem::path &path, const FileIdentity &identity);
// Renames `from` to `to` in one step, over `to` when it exists.
bool replaceFile(const std::filesystem::path &from, const std::filesystem::path &to, QString *reason = nullptr);
// True for a device that the standard library does not see as a file
// (Windows' reserved names: NUL, CON, COM1); such a name is written into, as
// any existing file that is not a regular one is.
bool isReservedDevice(const std::filesystem::path &path);
// Opens an existing file that is not a regular one (a device, a FIFO) for
// writing into it.
bool openForWriting(QFile &file, const std::filesystem::path &path);
// True when both names lead to one existing file of any kind (through links too).
bool sameFile(const std::filesystem::path &a, const std::filesystem::path &b);

} // namespace image
