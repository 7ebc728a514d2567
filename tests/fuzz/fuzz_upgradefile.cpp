// libFuzzer target for the upgrade-file reader: any bytes as a file. Built
// with clang and AddressSanitizer, so a read past the given bytes stops it.
// A file the reader accepts holds exactly one image; its checksums are then
// checked as the worker checks them.

#include "scramble.h"
#include "upgradefile.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > size_t(UpgradeFile::kFileSize))
        return 0;
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer file(&bytes);
    file.open(QIODevice::ReadOnly);
    QByteArray image;
    if (!UpgradeFile::read(file, image).ok()) {
        if (!image.isEmpty())
            std::abort();
        return 0;
    }
    if (image.size() != UpgradeFile::kImageSize)
        std::abort();
    decodeData(image.data(), int(image.size()));
    (void)UpgradeFile::checksumsMatch(image);
    return 0;
}
