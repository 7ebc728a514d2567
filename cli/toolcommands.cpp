// read-mem, read-ext and write-ext: the window's memory and external-flash
// tools as commands.

#include "command.h"
#include "hexdump.h"
#include "progress.h"
#include "servicetools.h"
#include "usbvr480.h"

namespace cli {

namespace {

// External flash answers only in the bootloader.
QString bootloaderHint(const QByteArray &serial)
{
    return USBVR480::isApplicationSerial(serial)
               ? QStringLiteral(" (the device runs its application; \"%1 restart\" starts its bootloader)")
                     .arg(programName())
               : QString();
}

Result lengthError(const QString &binFile, qint64 size)
{
    return failure(ExitBadInput, QStringLiteral("%1: %2 bytes: an external-flash image is a non-empty "
                                                "multiple of 4 bytes, at most %3")
                                     .arg(USBVR480::escapedName(binFile))
                                     .arg(size)
                                     .arg(ServiceTools::kMaxImageSize));
}

// read-mem and read-ext: a dump on standard output, or the bytes in a file.
Result read(Invocation &in, bool external)
{
    const quint32 address = in.address(QStringLiteral("ADDR"), in.argument(0));
    const int length = in.number(QStringLiteral("LEN"), in.argument(1), 1, ServiceTools::kMaxLength);
    const std::optional<QString> binFile = in.option(QStringLiteral("output"));
    if (quint64(address) + quint64(length) > 0x100000000)
        in.refuse(QStringLiteral("%1 bytes at 0x%2 pass the end of the 32-bit address space")
                      .arg(length)
                      .arg(address, 0, 16));
    if (auto usage = in.usageError())
        return *usage;
    if (binFile) {
        if (auto refused = checkOutput(*binFile))
            return *refused;
    }

    USBVR480 usb;
    // The progress shares standard output only when the data goes to a file.
    std::optional<Progress> progress;
    if (binFile && external) {
        progress.emplace(stdout, in.terminal);
        QObject::connect(&usb, &USBVR480::sendPercentExtFlashRead,
                         [&](int percent) { progress->update(QStringLiteral("Reading"), percent); });
    }
    QByteArray data;
    const Result result = onDevice(in, usb, [&](const QByteArray &serial) {
        const std::optional<QByteArray> bytes = external ? ServiceTools::readExternalFlash(usb, address, length)
                                                        : ServiceTools::readMemory(usb, address, length);
        if (!bytes)
            return failure(ExitDeviceFailed, QStringLiteral("reading %1 bytes at 0x%2 failed%3")
                                                 .arg(length)
                                                 .arg(address, 0, 16)
                                                 .arg(external ? bootloaderHint(serial) : QString()));
        data = *bytes;
        return Result{};
    });
    progress.reset();
    if (result.status != ExitOk)
        return result;
    if (binFile)
        return saveOutput(*binFile, data);
    writeTo(stdout, HexDump(data.constData(), int(data.size())) + '\n');
    return {};
}

Result writeExt(Invocation &in)
{
    const QString binFile = in.argument(0);
    Result refusal;
    const std::optional<QByteArray> image = readInput(binFile, ServiceTools::kMaxImageSize, &refusal);
    if (!image)
        return refusal;
    if (!ServiceTools::isExternalFlashImageSize(image->size()))
        return lengthError(binFile, image->size());

    USBVR480 usb;
    Progress progress(stdout, in.terminal);
    QObject::connect(&usb, &USBVR480::sendPercentExtFlashWrite,
                     [&](int percent) { progress.update(QStringLiteral("Writing"), percent); });
    QObject::connect(&usb, &USBVR480::sendPercentExtFlashRead,
                     [&](int percent) { progress.update(QStringLiteral("Verifying"), percent); });
    const Result result = onDevice(in, usb, [&](const QByteArray &serial) {
        using ServiceTools::ImageResult;
        switch (ServiceTools::writeExternalFlashImage(usb, *image)) {
        case ImageResult::Ok:
            break;
        case ImageResult::LengthError:
            return lengthError(binFile, image->size());
        case ImageResult::WriteError:
            return failure(ExitDeviceFailed,
                           QStringLiteral("writing the external flash failed") + bootloaderHint(serial));
        case ImageResult::ReadError:
            return failure(ExitDeviceFailed, QStringLiteral("reading the external flash back failed"));
        case ImageResult::Mismatch:
            return failure(ExitDeviceFailed, QStringLiteral("the external flash does not hold what was written"));
        }
        return Result{};
    });
    if (result.status == ExitOk)
        progress.line(QStringLiteral("Written and verified: %1 bytes at external-flash address 0").arg(image->size()));
    return result;
}

} // namespace

QList<Command> toolCommands()
{
    return {
        {QStringLiteral("read-mem"), QStringLiteral("Dump device memory"),
         QStringLiteral("Reads LEN bytes of memory from ADDR: a hex dump on standard output, or the plain "
                        "bytes in a file."),
         {{QStringLiteral("ADDR"), QStringLiteral("Address, hexadecimal (\"0x\" optional).")},
          {QStringLiteral("LEN"), QStringLiteral("Length, 1-1048576 bytes.")}},
         {outputOption(QStringLiteral("Write the bytes to this file instead.")), serialOption()},
         [](Invocation &in) { return read(in, false); }},
        {QStringLiteral("read-ext"), QStringLiteral("Dump external flash"),
         QStringLiteral("Reads LEN bytes of external flash from ADDR, unscrambled: a hex dump on standard "
                        "output, or the plain bytes in a file. Needs the bootloader."),
         {{QStringLiteral("ADDR"), QStringLiteral("Address, hexadecimal (\"0x\" optional).")},
          {QStringLiteral("LEN"), QStringLiteral("Length, 1-1048576 bytes.")}},
         {outputOption(QStringLiteral("Write the bytes to this file instead.")), serialOption()},
         [](Invocation &in) { return read(in, true); }},
        {QStringLiteral("write-ext"), QStringLiteral("Write an external-flash image and verify it"),
         QStringLiteral("Writes the plain image at external-flash address 0, scrambled, reads it back and "
                        "compares, as the window's WriteExtFlashBin does. The image is a non-empty multiple "
                        "of 4 bytes. Needs the bootloader."),
         {{QStringLiteral("FILE.bin"), QStringLiteral("The plain external-flash image.")}}, {serialOption()}, writeExt},
    };
}

} // namespace cli
