#pragma once
// The system's side of reading an input file (readInputFile): the file opened
// by name once, what kind of file it is, and reads that wait for a stream's
// data while a stop request can end them; also inputFileProblem(). One
// implementation per system: inputsource_posix.cpp (poll on the descriptor)
// and inputsource_win.cpp.

#include "inputfile.h"

#include <QString>
#include <QtGlobal>

#include <memory>

namespace image {

class InputSource {
public:
    // Opens `fileName` for reading; a FIFO without a writer does not hold the
    // program here (its reads wait instead).
    explicit InputSource(const QString &fileName);
    ~InputSource();
    Q_DISABLE_COPY(InputSource)

    bool isOpen() const;
    bool isFolder() const;
    // A regular file's size when opened; -1 for a stream (pipe, FIFO, device,
    // console), read until its end.
    qint64 size() const;
    // The system's reason for the last failure.
    QString error() const;

    static constexpr qint64 kStopped = -2;
    // Reads up to `max` bytes: their count, 0 at the end, -1 on failure
    // (error()), or kStopped when `stop` said so while the read waited for a
    // stream's data; `stop` is asked at least every 100 ms meanwhile.
    qint64 read(char *buffer, qint64 max, const StopCheck &stop);

private:
    struct System;
    std::unique_ptr<System> system;
};

} // namespace image
