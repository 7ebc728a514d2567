// create-upg, create-bootbin and hex2bin: the window's image builders and
// the HEX conversion as commands.

#include "command.h"
#include "imagebuilder.h"
#include "intelhex.h"
#include "interrupt.h"
#include "outputfiles.h"
#include "upgradefile.h"
#include "usbvr480.h"

#include <QDate>
#include <QDir>
#include <QtEndian>

#include <cstring>
#include <memory>
#include <new>

namespace cli {

namespace {

// What a HexToBin result other than HexOk means, in a few words.
QString hexToBinErrorText(int result)
{
    switch (result) {
    case HexShortLine:
        return QStringLiteral("a line too short for a record");
    case HexNoColon:
        return QStringLiteral("a line that does not start with ':'");
    case HexBadCount:
        return QStringLiteral("a byte count that is not hexadecimal");
    case HexBadAddress:
        return QStringLiteral("an address that is not hexadecimal");
    case HexBadType:
        return QStringLiteral("a record type that is not hexadecimal");
    case HexBadData:
        return QStringLiteral("a data byte that is not hexadecimal");
    case HexUnsupported:
        return QStringLiteral("an unsupported record type or extended address");
    case HexBadRecord:
        return QStringLiteral("a wrong checksum or a record of the wrong length");
    case HexCannotRead:
        return QStringLiteral("the file cannot be read");
    case HexNoEndRecord:
        return QStringLiteral("no end-of-file record: the file is empty or cut short");
    case HexTooLarge:
        return QStringLiteral("the file is larger than %1 MiB").arg(image::kMaxHexFileSize >> 20);
    case HexInterrupted:
        return QStringLiteral("reading the file was interrupted");
    }
    return QStringLiteral("unknown error %1").arg(result);
}

// A conversion that did not succeed refuses the file; `noData` says what an
// image without its data is.
std::optional<Result> conversionFailure(const QString &hexFile, const image::FileResult &result, const QString &noData = {})
{
    if (result.ok())
        return std::nullopt;
    if (result.status == image::FileStatus::Interrupted || stopRequested())
        return interrupted();
    if (result.status == image::FileStatus::NoData)
        return failure(ExitBadInput, QStringLiteral("%1: %2").arg(USBVR480::escapedName(hexFile), noData));
    return failure(ExitBadInput, QStringLiteral("%1: %2 (HexToBin error %3)")
                                     .arg(USBVR480::escapedName(hexFile), hexToBinErrorText(result.hexCode))
                                     .arg(result.hexCode));
}

QString window(quint32 first, quint32 last)
{
    return QStringLiteral("0x%1-0x%2").arg(first, 8, 16, QLatin1Char('0')).arg(last, 8, 16, QLatin1Char('0'));
}

// The image a builder converts from the HEX file, refused as the window
// refuses it: a conversion error, no data in the image's own window (`what`,
// from `address`, `size` bytes), another brand.
using Converter = image::FileResult (*)(const QString &, QByteArray &, const image::StopCheck &);
std::optional<Result> buildImage(const QString &hexFile, Converter convert, const QString &what, quint32 address,
                                 quint32 size, int brandOffset, QByteArray &image)
{
    const QString noData = QStringLiteral("no data for the %1 (%2)").arg(what, window(address, address + size - 1));
    if (auto refused = conversionFailure(hexFile, convert(hexFile, image, stopRequested), noData))
        return refused;
    if (!ImageBuilder::hasForeignBrand(image, brandOffset))
        return std::nullopt;
    return failure(ExitBadInput,
                   QStringLiteral("%1: invalid brand: 0x%2 at 0x%3, where this program takes 0 only")
                       .arg(USBVR480::escapedName(hexFile))
                       .arg(qFromLittleEndian<quint16>(image.constData() + brandOffset), 4, 16, QLatin1Char('0'))
                       .arg(MemoryMap::kFlashBase + quint32(brandOffset), 8, 16, QLatin1Char('0')));
}

Result createUpg(Invocation &in)
{
    const QString hexFile = in.argument(0);
    const QString upgFile = in.requiredOption(QStringLiteral("output"));
    if (auto usage = in.usageError())
        return *usage;
    if (auto refused = checkOutput(upgFile, {hexFile}))
        return *refused;
    QByteArray image;
    if (auto refused = buildImage(hexFile, ImageBuilder::convertUpgradeImage, QStringLiteral("application"),
                                  MemoryMap::kApplicationAddress, MemoryMap::kApplicationSize,
                                  UpgradeFile::kBrandOffset, image))
        return *refused;
    return saveOutput(upgFile, [&](QIODevice &file) { return UpgradeFile::write(file, image); });
}

Result createBootBin(Invocation &in)
{
    const QString hexFile = in.argument(0);
    const QDate today = QDate::currentDate();
    const int year = in.numberOption(QStringLiteral("year"), 0, 99, ImageBuilder::productionYear(today));
    const int week = in.numberOption(QStringLiteral("week"), 1, 53, ImageBuilder::productionWeek(today));
    const int number = in.numberOption(QStringLiteral("number"), 1, ImageBuilder::kMaxProductionNumber, {});
    const int count = in.numberOption(QStringLiteral("count"), 1, ImageBuilder::maxProductionCount(number), 1);
    const std::optional<QString> dir = in.option(QStringLiteral("dir"));
    if (auto usage = in.usageError())
        return *usage;

    QByteArray image;
    if (auto refused = buildImage(hexFile, ImageBuilder::convertBootloaderImage, QStringLiteral("bootloader"),
                                  MemoryMap::kBootloaderAddress, MemoryMap::kBootloaderSize,
                                  ImageBuilder::kBootloaderBrandOffset, image))
        return *refused;

    // All files or none: a production run is repeated as a whole.
    image::OutputFiles files;
    QStringList names;
    for (int n = number; n < number + count; ++n) {
        if (stopRequested())
            return interrupted();
        const QByteArray serial = ImageBuilder::productionSerial(year, week, n);
        ImageBuilder::setSerial(image, serial);
        const QString name = ImageBuilder::bootloaderFileName(serial);
        names << (dir ? QDir(*dir).filePath(name) : name);
        if (image::OutputFiles::sameFile(names.last(), hexFile))
            return Result{ExitUsage,
                          QStringLiteral("%1 is also the input file").arg(USBVR480::escapedName(names.last())), true};
        if (!files.add(names.last(), image::OutputFiles::writerOf(image)).ok())
            break;
    }
    return commitOutputs(files, names);
}

Result hexToBin(Invocation &in)
{
    constexpr quint64 kMaxWindow = 256 * 1024 * 1024;
    const QString hexFile = in.argument(0);
    const quint32 first = in.address(QStringLiteral("--first"), in.requiredOption(QStringLiteral("first")));
    const quint32 last = in.address(QStringLiteral("--last"), in.requiredOption(QStringLiteral("last")));
    const QString binFile = in.requiredOption(QStringLiteral("output"));
    const int fill = in.numberOption(QStringLiteral("fill"), 0, 255, 0);
    if (last < first)
        in.refuse(QStringLiteral("--last 0x%1 is below --first 0x%2").arg(last, 0, 16).arg(first, 0, 16));
    const quint64 size = quint64(last) - first + 1;
    if (last >= first && size > kMaxWindow)
        in.refuse(QStringLiteral("a window of %1 bytes is larger than 256 MiB").arg(size));
    if (auto usage = in.usageError())
        return *usage;
    if (auto refused = checkOutput(binFile, {hexFile}))
        return *refused;

    QByteArray text;
    if (auto refused = conversionFailure(hexFile, image::readHexFile(hexFile, text, stopRequested)))
        return *refused;
    // Checked rather than thrown: a memory limit (ulimit -v) gets a message.
    const std::unique_ptr<char[]> bytes(new (std::nothrow) char[size]);
    if (!bytes)
        return failure(ExitCannotWrite,
                       QStringLiteral("%1: not enough memory for a window of %2 bytes")
                           .arg(USBVR480::escapedName(binFile))
                           .arg(size));
    std::memset(bytes.get(), fill, size);
    quint64 stored = 0;
    if (auto refused = conversionFailure(hexFile, image::convertHexText(text, bytes.get(), first, last, &stored)))
        return *refused;
    if (stored == 0)
        return failure(ExitBadInput, QStringLiteral("%1: no data in the window %2")
                                         .arg(USBVR480::escapedName(hexFile), window(first, last)));
    return saveOutput(binFile, [&](QIODevice &file) { return file.write(bytes.get(), qint64(size)) == qint64(size); });
}

} // namespace

QList<Command> imageCommands()
{
    return {
        {QStringLiteral("create-upg"), QStringLiteral("Build an upgrade file from an Intel HEX firmware build"),
         QStringLiteral("Converts the application (0x08004000-0x0803FFFF) and external-flash data "
                        "(0x08040000-0x0805BFFF) of the HEX file into an upgrade file, as the window's "
                        "CreateUpg does. Refuses a HEX file with an error and an image whose brand "
                        "halfword (0x0803FFD0) is not 0."),
         {{QStringLiteral("FIRMWARE.hex"), QStringLiteral("The firmware build, Intel HEX.")}},
         {outputOption(QStringLiteral("The upgrade file to write (required)."))},
         createUpg},
        {QStringLiteral("create-bootbin"), QStringLiteral("Build numbered bootloader images with their serials"),
         QStringLiteral("Converts the bootloader (0x08000000-0x08003FFF) of the HEX file and writes COUNT "
                        "images Vr480_Bootloader_YYWW0NNNN.bin, each with its serial at offset 0x3FF0, "
                        "as the window's CreateBootBin does. NUMBER is 1-9999; the last number of a run "
                        "is at most 9998, except that a run of one may be 9999. All files are written "
                        "or none."),
         {{QStringLiteral("BOOT.hex"), QStringLiteral("The bootloader build, Intel HEX.")}},
         {{{QStringLiteral("year")}, QStringLiteral("Production year, 0-99 (default: this year's)."), QStringLiteral("YY")},
          {{QStringLiteral("week")}, QStringLiteral("Production week, 1-53 (default: this ISO week)."), QStringLiteral("WW")},
          {{QStringLiteral("number")}, QStringLiteral("First production number, 1-9999 (required)."), QStringLiteral("NUMBER")},
          {{QStringLiteral("count")}, QStringLiteral("How many images (default 1)."), QStringLiteral("COUNT")},
          {{QStringLiteral("dir")}, QStringLiteral("Folder for the images (default: the current one)."), QStringLiteral("DIR")}},
         createBootBin},
        {QStringLiteral("hex2bin"), QStringLiteral("Convert one address window of an Intel HEX file to binary"),
         QStringLiteral("Writes the bytes from --first to --last (both included, hexadecimal) as the HEX "
                        "file gives them; bytes it does not give are --fill. At most 256 MiB, held in memory "
                        "while it is made."),
         {{QStringLiteral("FILE.hex"), QStringLiteral("The Intel HEX file.")}},
         {{{QStringLiteral("first")}, QStringLiteral("First address of the window (required)."), QStringLiteral("ADDR")},
          {{QStringLiteral("last")}, QStringLiteral("Last address of the window (required)."), QStringLiteral("ADDR")},
          outputOption(QStringLiteral("The binary file to write (required).")),
          {{QStringLiteral("fill")}, QStringLiteral("Value of bytes the file does not give, 0-255 (default 0)."), QStringLiteral("BYTE")}},
         hexToBin},
    };
}

} // namespace cli
