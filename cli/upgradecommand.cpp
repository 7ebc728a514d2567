// upgrade: the window's "Change Firmware", succeeding only once the new
// application runs.

#include "cli/command.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "upgrade/upgrader.h"
#include "usb/usbvr480.h"

namespace {

Result upgradeMessage(Upgrader::Outcome outcome, const QString &upgFile)
{
    using Outcome = Upgrader::Outcome;
    switch (outcome) {
    case Outcome::Started:
        return {};
    case Outcome::BadFile:
        return failure(ExitBadInput, QStringLiteral("%1: not a VR480 upgrade file").arg(upgFile));
    case Outcome::NoDevice:
        return failure(ExitNoDevice, QStringLiteral("no VR480 found"));
    case Outcome::Interrupted:
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

Result upgrade(Invocation &in)
{
    const QString upgFile = in.argument(0);
    Result refusal;
    if (!readInput(upgFile, &refusal)) // unreadable: refused before the device is touched
        return refusal;

    USBVR480 usb;
    Upgrader upgrader(&usb);
    upgrader.setStartCheck(true);
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

    const Result result = upgradeMessage(upgrader.outcome(), upgFile);
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
                        "data, starts the new application and waits until it runs. Succeeds only then."),
         {{QStringLiteral("FILE.upg"), QStringLiteral("The upgrade file.")}}, {}, upgrade},
    };
}
