// verify FILE.upg and backup -o FILE.upg: what a device holds, read back,
// compared with a release or kept as an upgrade file.

#include "backup.h"

#include "devices.h"
#include "inputfile.h"
#include "interrupt.h"
#include "outputfiles.h"
#include "parallelupgrade.h"
#include "upgradecommand.h"
#include "upgradefile.h"
#include "upgrader.h"
#include "unitreport.h"

#include <QDir>
#include <QFileInfo>

namespace cli {

namespace {

// Why the file in place is not the image read: unreadable, or other bytes.
QString readBackProblem(const QString &fileName, const QByteArray &image)
{
    const image::InputFile file = image::readInputFile(fileName, UpgradeFile::kFileSize, {}, false);
    const UpgradeFile::Checked checked = UpgradeFile::check(file, false);
    if (checked.refused != UpgradeFile::Refusal::None || checked.image != image)
        return QStringLiteral("%1: the file read back is not what the device holds").arg(fileName);
    return {};
}

Result backup(Invocation &in)
{
    const QString output = in.requiredOption(QStringLiteral("output"));
    if (std::optional<Result> error = in.usageError())
        return *error;
    if (std::optional<Result> refused = checkBackupTarget(output, {}, false))
        return *refused;
    USBVR480 usb;
    if (std::optional<Result> refusal = selectDevice(in, usb))
        return *refusal;
    Progress progress(stdout, in.terminal);
    Result result = takeBackup(usb, output, progress).value_or(Result{});
    reportLostOutput(result);
    return result;
}

} // namespace

std::optional<Result> takeBackup(USBVR480 &usb, const QString &fileName, Progress &progress)
{
    Upgrader reader(&usb);
    reader.setPlan(Upgrader::Plan::commandLine({}, Upgrader::Job::Read));
    showOn(reader, {[&](const QString &text) { progress.line(text); },
                    [&](const QString &label, int percent) { progress.update(label, percent); }});
    reader.start();
    waitFor(reader);
    if (reader.outcome() != Upgrader::Outcome::Read) {
        Result refused = resultOf(runEnding(reader, usb, fileName));
        refused.message = QStringLiteral("no backup was made: ") + refused.message;
        return refused;
    }
    const QByteArray image = reader.readImage();
    image::OutputFiles files;
    files.add(fileName, [&](QIODevice &out) { return UpgradeFile::write(out, image, UpgradeFile::Checksums::AsGiven); });
    const image::FileResult kept = files.commit(stopRequested, [&] { return readBackProblem(fileName, image); });
    if (!kept.ok())
        return stopRequested() ? failure(ExitInterrupted, QStringLiteral("interrupted: no backup was made"))
                               : failure(ExitCannotWrite, QStringLiteral("no backup was made: ")
                                                              + USBVR480::escapedName(kept.error));
    if (!UpgradeFile::checksumsMatch(image))
        progress.line(QStringLiteral("The device's checksum words do not match what it holds (a damaged application "
                                     "or external-flash data): the backup keeps it as it is, and upgrade refuses "
                                     "it without --ignore-checksum"));
    progress.line(QStringLiteral("Backup kept in ") + USBVR480::escapedName(fileName));
    return std::nullopt;
}

std::optional<Result> checkBackupTarget(const QString &target, const QString &upgFile, bool folder)
{
    if (!folder)
        return target == QLatin1String("-")
                   ? Result{ExitUsage, QStringLiteral("--backup -: a backup is a file, renamed into place once complete"),
                            true}
                   : checkOutput(target, {upgFile});
    if (!QFileInfo(target).isDir())
        return Result{ExitUsage,
                      QStringLiteral("--backup %1: with several devices, --backup names an existing folder")
                          .arg(USBVR480::escapedName(target)),
                      true};
    return std::nullopt;
}

QString backupFileName(const QString &folder, const QByteArray &serial)
{
    QString name;
    for (const char c : serial) {
        const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
                          || c == '_' || (c == '.' && !name.isEmpty());
        name += safe ? QString(QLatin1Char(c)) : QStringLiteral("%%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
    }
    return QDir(folder).filePath((name.isEmpty() ? QStringLiteral("%22%22") : name) + QStringLiteral(".upg"));
}

namespace {

Result verify(Invocation &in)
{
    return runOnFile(in, Upgrader::Job::Verify);
}

} // namespace

QList<Command> readbackCommands()
{
    return {
        {QStringLiteral("verify"), QStringLiteral("Check that the VR480 holds an upgrade file's firmware"),
         QStringLiteral("Checks the file as upgrade does, connects and identifies as the upgrade does (restarting "
                        "the device into its bootloader when its application runs), reads the 120 application "
                        "pages and the external-flash data, compares them with the file's image and restarts the "
                        "device into the firmware it ran. Says \"matches\", or which pages (number, address, "
                        "first differing byte) and which external-flash ranges differ: exit status 0 or 6. Never "
                        "writes to the device. With --all or several --serial, the devices are verified at once; "
                        "each gives a record as upgrade's do (--report, --json), its outcome matches or differs."),
         {{QStringLiteral("FILE.upg"), QStringLiteral("The upgrade file (a pipe such as /dev/stdin too).")}},
         {{{QStringLiteral("ignore-checksum")},
           QStringLiteral("Compare with a file whose checksums do not match all the same (a backup of a damaged "
                          "unit).")},
          serialOption(QStringLiteral(" Given several times, those devices are verified at once.")),
          QCommandLineOption(QStringLiteral("all"), QStringLiteral("Verify every attached VR480 at once.")),
          reportOption(),
          jsonOption(QStringLiteral("Write the record of each device run on standard output instead of the "
                                    "log and the summary, which go to standard error with the progress."))},
         verify},
        {QStringLiteral("backup"), QStringLiteral("Keep what the VR480 holds as an upgrade file"),
         QStringLiteral("Connects and identifies as the upgrade does (restarting the device into its bootloader when "
                        "its application runs), reads the 120 application pages and the external-flash data, "
                        "restarts the device into the firmware it ran, and writes them as an upgrade file: the "
                        "header, the version, the bootloader area and the unused tail zero, as create-upg writes "
                        "them, with the device's own checksum words. The file is renamed into place once "
                        "complete and read back; Ctrl+C leaves no file. Upgrading a unit from its backup gives back "
                        "the same memories. Never writes to the device."),
         {},
         {outputOption(QStringLiteral("The upgrade file to write.")), serialOption()},
         backup},
    };
}

} // namespace cli
