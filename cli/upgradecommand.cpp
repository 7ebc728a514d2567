// upgrade: the window's "Change Firmware", succeeding only once the new
// application runs.

#include "upgradecommand.h"

#include "devices.h"
#include "interrupt.h"
#include "progress.h"
#include "usbvr480.h"

namespace {

// Where the run stopped before anything was written: the device runs what it ran.
QString untouchedMessage(USBVR480::Firmware firmware)
{
    switch (firmware) {
    case USBVR480::Firmware::Application:
        return QStringLiteral("nothing was written: the device still runs its application (\"%1 restart\" "
                              "starts its bootloader; then run the upgrade again)")
            .arg(programName());
    case USBVR480::Firmware::Bootloader:
        return QStringLiteral("nothing was written: the device still runs its bootloader");
    case USBVR480::Firmware::Unknown:
        break;
    }
    return QStringLiteral("nothing was written: the device's serial names neither its application nor "
                          "its bootloader");
}

} // namespace

Result upgradeMessage(const Upgrader &upgrader, const QString &upgFile, USBVR480 &usb)
{
    using Outcome = Upgrader::Outcome;
    switch (upgrader.outcome()) {
    case Outcome::Started:
        return {};
    case Outcome::BadFile:
        return failure(ExitBadInput, QStringLiteral("%1: not a VR480 upgrade file").arg(upgFile));
    case Outcome::BadChecksum:
        return failure(ExitBadInput, QStringLiteral("%1: wrong checksum: the file is damaged (--ignore-checksum "
                                                    "writes it all the same)")
                                         .arg(upgFile));
    case Outcome::NoDevice:
        return noDevice(usb, QStringLiteral("no VR480 found"));
    case Outcome::Untouched:
        return failure(ExitDeviceFailed, untouchedMessage(upgrader.firmwareFound()));
    case Outcome::Interrupted:
        if (upgrader.firmwareFound() == USBVR480::Firmware::Unknown)
            return failure(ExitInterrupted, QStringLiteral("interrupted: nothing was written"));
        return failure(ExitInterrupted, QStringLiteral("interrupted before the upgrade was complete: the "
                                                       "device may be left in its bootloader; run the "
                                                       "upgrade again"));
    case Outcome::NotStarted:
        return failure(ExitDeviceFailed, QStringLiteral("the firmware was written and verified, but the "
                                                        "application did not come back within 10 s"));
    case Outcome::NoFile:
    case Outcome::Written:
    case Outcome::Failed:
        break;
    }
    return failure(ExitDeviceFailed, QStringLiteral("the upgrade failed: the device may be left in its "
                                                    "bootloader; run the upgrade again"));
}

namespace {

Result upgrade(Invocation &in)
{
    const QString upgFile = in.argument(0);
    // Unreadable: refused before the device is touched. The worker reads the
    // file itself, once, so that standard input or a FIFO works too.
    if (auto refused = checkInput(upgFile))
        return *refused;
    if (in.parser.isSet(QStringLiteral("all")) || in.parser.values(QStringLiteral("serial")).size() > 1)
        return upgradeSeveral(in, upgFile);

    USBVR480 usb;
    if (std::optional<Result> refusal = selectDevice(in, usb))
        return *refusal;
    Upgrader upgrader(&usb);
    upgrader.setStartCheck(true);
    upgrader.setChecksumCheck(!in.parser.isSet(QStringLiteral("ignore-checksum")));
    Progress progress(stdout, in.terminal);
    // Without a receiver the functors run on the worker's thread, which is
    // the only one writing while it runs.
    QObject::connect(&upgrader, &Upgrader::sendText, [&](const QString &text) { progress.line(text); });
    QObject::connect(&upgrader, &Upgrader::sendPercent,
                     [&](int percent) { progress.update(QStringLiteral("Flash"), percent); });
    QObject::connect(&usb, &USBVR480::sendPercentExtFlashWrite,
                     [&](int percent) { progress.update(QStringLiteral("External flash write"), percent); });
    QObject::connect(&usb, &USBVR480::sendPercentExtFlashRead,
                     [&](int percent) { progress.update(QStringLiteral("External flash verify"), percent); });
    upgrader.slotSetFileName(upgFile);
    upgrader.start();
    waitFor(upgrader);

    const Result result = upgradeMessage(upgrader, upgFile, usb);
    if (result.status == ExitOk)
        progress.line(QStringLiteral("Upgrade complete: the new application is running"));
    return result;
}

} // namespace

QList<Command> upgradeCommands()
{
    return {
        {QStringLiteral("upgrade"), QStringLiteral("Write an upgrade file into the VR480 and start it"),
         QStringLiteral("Runs the upgrade of the window's \"Change Firmware\": restarts the device into its "
                        "bootloader, writes and verifies the application page by page and the external-flash "
                        "data, starts the new application and waits until it runs. Succeeds only then. With "
                        "--all (every attached VR480) or several --serial, the devices are upgraded at once, "
                        "each on its own, and a summary gives their outcomes; succeeds only when every one "
                        "runs its new application."),
         {{QStringLiteral("FILE.upg"), QStringLiteral("The upgrade file (a pipe such as /dev/stdin too).")}},
         {{{QStringLiteral("ignore-checksum")},
           QStringLiteral("Write a file whose checksums do not match all the same (to test the device's own "
                          "check).")},
          serialOption(QStringLiteral(" Given several times, those devices are upgraded at once.")),
          QCommandLineOption(QStringLiteral("all"), QStringLiteral("Upgrade every attached VR480 at once."))},
         upgrade},
    };
}
