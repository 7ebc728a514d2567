// libFuzzer target for the Intel HEX conversion: any text, any window. Built
// with clang and AddressSanitizer, so a byte written outside the window's
// buffer stops it.
//
// The first input byte chooses the window: one of the image builders' three,
// or one of up to 64 bytes at an address taken from the next four bytes. The
// rest of the input is the file's text.

#include "intelhex.h"
#include "memorymap.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    quint32 first = 0;
    quint32 length = 0;
    switch (data[0] % 4) {
    case 0: first = MemoryMap::kBootloaderAddress; length = MemoryMap::kBootloaderSize; break;
    case 1: first = MemoryMap::kApplicationAddress; length = MemoryMap::kApplicationSize; break;
    case 2: first = MemoryMap::kExternalLinkAddress; length = MemoryMap::kExternalDataSize; break;
    default:
        std::memcpy(&first, data + 1, 4);
        length = 1 + data[0] / 4;
        first = qMin(first, 0xFFFFFFFFu - (length - 1));
    }
    data += 5;
    size -= 5;

    const QByteArray text = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto window = std::make_unique<char[]>(length);
    quint64 stored = 0;
    const image::FileResult result = image::convertHexText(text, window.get(), first, first + (length - 1), &stored);
    if (result.hexCode < HexNoEndRecord || result.hexCode > 0 || result.ok() != (result.hexCode == HexOk)
        || stored > quint64(size))
        std::abort();
    return 0;
}
