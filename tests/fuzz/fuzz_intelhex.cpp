// libFuzzer target for HexToBin: any file, any window. Built with clang and
// AddressSanitizer, so a byte written outside the window's buffer stops it.
//
// The first input byte chooses the window: one of the image builders' three,
// or one of up to 64 bytes at an address taken from the next four bytes. The
// rest of the input is the file.

#include "image/intelhex.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The file each input is written to, removed when the fuzzer exits.
const QString &inputPath()
{
    static const QString path = [] {
        std::atexit([] { QFile::remove(inputPath()); });
        return QDir::temp().filePath(
            QStringLiteral("fuzz_intelhex_%1.hex").arg(QCoreApplication::applicationPid()));
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString &path = inputPath();
    if (size < 5)
        return 0;
    quint32 first = 0;
    quint32 length = 0;
    switch (data[0] % 4) {
    case 0: first = 0x08000000; length = 0x4000; break;
    case 1: first = 0x08004000; length = 0x3C000; break;
    case 2: first = 0x08040000; length = 0x1C000; break;
    default:
        std::memcpy(&first, data + 1, 4);
        length = 1 + data[0] / 4;
        first = qMin(first, 0xFFFFFFFFu - (length - 1));
    }
    data += 5;
    size -= 5;

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        std::abort();
    file.close();

    const auto window = std::make_unique<char[]>(length);
    const int result = HexToBin(path, window.get(), first, first + (length - 1));
    if (result < -9 || result > 0)
        std::abort();
    return 0;
}
