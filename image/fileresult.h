#pragma once
// What happened to a file that the image layer read, converted or wrote. The
// words for it belong to the window and the command line.

#include <QString>

#include <utility>

namespace image {

enum class FileStatus {
    Ok,
    CannotRead,   // cannot be opened or read
    TooLarge,     // more than the limit it is read with
    Interrupted,  // a StopCheck said so
    BadHex,       // the Intel HEX text is faulty
    NoData,       // the image's own window received no data byte
    WrongHeader,  // not an upgrade file: its header text
    WrongVersion, // an upgrade file of another version
    WrongLength,  // an upgrade file whose payload is not the image's size
    CannotWrite,  // cannot be written
};

struct FileResult {
    FileStatus status = FileStatus::Ok;
    // CannotRead: the system's reason; CannotWrite: the file's name and the
    // system's reason, and any file that could not be restored.
    QString error;
    // A HEX file's failure: the HexToBinResult that HexToBin gives for it
    // (HexCannotRead, HexTooLarge and HexInterrupted for its reading too);
    // otherwise 0.
    int hexCode = 0;

    FileResult() = default;
    FileResult(FileStatus status, QString error = {}, int hexCode = 0)
        : status(status), error(std::move(error)), hexCode(hexCode)
    {
    }
    bool ok() const { return status == FileStatus::Ok; }
};

} // namespace image
