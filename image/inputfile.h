#pragma once
// Input files read once, whole and bounded: a regular file, a pipe such as
// standard input, a FIFO or a device alike. Nothing is memory-mapped, so a
// file that changes while it is read cannot crash the program.

#include "fileresult.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>

namespace image {

struct InputFile {
    // Ok; CannotRead with the system's reason; TooLarge (a regular file is
    // refused before it is read); Interrupted.
    FileResult result;
    QByteArray bytes; // TooLarge: the first limit + 1 bytes when asked to keep them, else none
    qint64 size = -1; // TooLarge: a regular file's size; -1 for a stream, not read to its end
};

// Asked between two reads and at least every 100 ms while a read waits (for
// a FIFO's writer, a pipe's data): true ends the read as Interrupted.
using StopCheck = std::function<bool()>;

// Reads `fileName` up to its end, at most `limit` bytes. A larger regular
// file is refused before it is read, unless `keepStart` asks for its first
// limit + 1 bytes (enough to tell what the file is).
InputFile readInputFile(const QString &fileName, qint64 limit, const StopCheck &stop = {},
                        bool keepStart = false);

// Why `fileName` cannot be read (it does not exist, is a folder, may not be
// read), found without opening it; empty when it can be tried.
QString inputFileProblem(const QString &fileName);

// File names as the system spells them. On Unix a name is bytes, not always
// UTF-8: a byte that is not part of a valid UTF-8 sequence travels in the
// QString as the lone surrogate U+DC80-U+DCFF, so that any name given comes
// back as exactly its bytes (never as another name through a replacement
// character). Text without such bytes is plain UTF-8 both ways.
QString decodeFileName(const QByteArray &bytes);
QByteArray encodeFileName(const QString &fileName);

} // namespace image
