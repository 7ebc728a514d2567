#include "outcome.h"

#include "memorymap.h"

#include <QCoreApplication>
#include <QStringList>

namespace {

using Outcome = Upgrader::Outcome;
using Left = Upgrader::Left;

QString text(const char *latin1)
{
    return QString::fromLatin1(latin1);
}

const char *word(int index)
{
    return kOutcomeWords[index].word;
}
enum Word { Upgraded, NotStarted, Failed, Untouched, NoDevice, Interrupted, Matches, Differs };

const char *const kAgain = "the device may be left in its bootloader; run the upgrade again";

QString stillRuns(USBVR480::Firmware firmware)
{
    switch (firmware) {
    case USBVR480::Firmware::Application:
        return text("the device still runs its application");
    case USBVR480::Firmware::Bootloader:
        return text("the device still runs its bootloader");
    case USBVR480::Firmware::Unknown:
        break;
    }
    return text("the device still runs the firmware it ran");
}

// Where a run that wrote nothing left the device; `gone` says it of one that
// was restarted and not seen back.
QString whereLeft(const RunFacts &facts, const char *gone)
{
    switch (facts.left) {
    case Left::AsFound:
        return stillRuns(facts.firmware);
    case Left::Bootloader:
        return text("the device is left in its bootloader, its old application intact");
    case Left::Application:
        return text("it was restarted back into its application, which runs again");
    case Left::Gone:
        return text(gone);
    case Left::Unknown:
        break;
    }
    return text("the device may be left in its bootloader");
}

QString untouched(const RunFacts &facts)
{
    if (facts.left == Left::AsFound && facts.firmware == USBVR480::Firmware::Application)
        return text("nothing was written: the device still runs its application (\"%1 restart\" starts its "
                    "bootloader; then run the upgrade again)")
            .arg(facts.program);
    if (facts.left == Left::AsFound && facts.firmware == USBVR480::Firmware::Unknown)
        return text("nothing was written: the device's serial %1 names neither its application nor its bootloader")
            .arg(serialText(facts.serial));
    return text("nothing was written: ")
           + whereLeft(facts, "the device was told to restart into its bootloader and has not come back on the bus");
}

// A run that only read: where it left the device.
QString readOnly(const RunFacts &facts)
{
    return text("nothing was written; ")
           + whereLeft(facts, "it was restarted back into its application, but has not come back within 10 s");
}

QString page(const RunFacts &facts, const char *what)
{
    using namespace MemoryMap;
    return text("the upgrade failed: the %1 of page %2 of %3 (at 0x%4) failed: %5")
        .arg(text(what))
        .arg(facts.failedPage + 1)
        .arg(kApplicationSize / kPageSize)
        .arg(kApplicationAddress + quint32(facts.failedPage) * kPageSize, 8, 16, QLatin1Char('0'))
        .arg(text(kAgain));
}

// One row per outcome of the worker: its word (of kOutcomeWords), its status
// and its message.
struct Row {
    Outcome outcome;
    Word word;
    ExitStatus status;
    QString (*message)(const RunFacts &facts);
};
const Row kRows[] = {
    {Outcome::Started, Upgraded, ExitOk,
     [](const RunFacts &) { return text(word(Upgraded)) + text(": ") + text(kOutcomeWords[Upgraded].meaning); }},
    {Outcome::NotStarted, NotStarted, ExitDeviceFailed,
     [](const RunFacts &) {
         return text("the firmware was written and verified, but the application did not come back within 10 s");
     }},
    {Outcome::TwinNotProven, NotStarted, ExitDeviceFailed,
     [](const RunFacts &facts) {
         return text("the firmware was written and verified and the application told to start, but %1: its start "
                     "is not proven")
             .arg(twinText(facts.followed));
     }},
    {Outcome::BadFile, Failed, ExitBadInput,
     [](const RunFacts &facts) {
         return text("%1: not a VR480 upgrade file").arg(USBVR480::escapedName(facts.file));
     }},
    {Outcome::BadChecksum, Failed, ExitBadInput,
     [](const RunFacts &facts) {
         return text("%1: wrong checksum: the file is damaged (--ignore-checksum %2 it all the same)")
             .arg(USBVR480::escapedName(facts.file),
                  text(facts.job == Upgrader::Job::Write ? "writes" : "compares with"));
     }},
    {Outcome::PageWriteFailed, Failed, ExitDeviceFailed, [](const RunFacts &facts) { return page(facts, "write"); }},
    {Outcome::PageVerifyFailed, Failed, ExitDeviceFailed,
     [](const RunFacts &facts) { return page(facts, "verification"); }},
    {Outcome::Failed, Failed, ExitDeviceFailed,
     [](const RunFacts &) { return text("the upgrade failed at the external flash: ") + text(kAgain); }},
    {Outcome::TwinFailed, Failed, ExitDeviceFailed,
     [](const RunFacts &facts) {
         return text("the upgrade failed: %1; %2 with only one of them attached")
             .arg(twinText(facts.followed), text(kAgain));
     }},
    {Outcome::Untouched, Untouched, ExitDeviceFailed, untouched},
    {Outcome::FirstPageRefused, Untouched, ExitDeviceFailed,
     [](const RunFacts &facts) {
         return text("nothing was written: the device refused the first page; ")
                + whereLeft(facts, "it was restarted back into its application, but has not come back within 10 s");
     }},
    {Outcome::TwinUntouched, Untouched, ExitDeviceFailed,
     [](const RunFacts &facts) {
         if (!facts.ran)
             return text("nothing was written: %1; it is not upgraded while both are attached")
                 .arg(twinText(facts.followed));
         return text("nothing was written: %1; %2")
             .arg(twinText(facts.followed), facts.left == Left::AsFound
                                                 ? stillRuns(facts.firmware)
                                                 : text("the device may be left in its bootloader"));
     }},
    {Outcome::NoDevice, NoDevice, ExitNoDevice,
     [](const RunFacts &facts) {
         const QString refused = refusalMessage(facts.denied);
         return refused.isEmpty() ? text("no VR480 found") : refused;
     }},
    {Outcome::InterruptedUntouched, Interrupted, ExitInterrupted,
     [](const RunFacts &) { return text("interrupted: nothing was written"); }},
    {Outcome::Interrupted, Interrupted, ExitInterrupted,
     [](const RunFacts &facts) {
         return facts.job == Upgrader::Job::Write ? text("interrupted before the upgrade was complete: ") + text(kAgain)
                                                  : text("interrupted: ") + readOnly(facts);
     }},
    {Outcome::Matches, Matches, ExitOk,
     [](const RunFacts &) { return text("matches: the device holds the file's firmware"); }},
    {Outcome::Differs, Differs, ExitDiffers,
     [](const RunFacts &facts) {
         return text("the device does not hold the firmware of %1: %2 of %3 pages and %4 external-flash %5 differ")
             .arg(USBVR480::escapedName(facts.file))
             .arg(facts.pagesDiffering)
             .arg(MemoryMap::kApplicationSize / MemoryMap::kPageSize)
             .arg(facts.rangesDiffering)
             .arg(text(facts.rangesDiffering == 1 ? "range" : "ranges"));
     }},
    // A read for a backup: nothing written either way.
    {Outcome::Read, Untouched, ExitOk, readOnly},
    {Outcome::ReadFailed, Untouched, ExitDeviceFailed,
     [](const RunFacts &facts) {
         return (facts.failedPage < 0 ? text("the read of the external flash failed; ")
                                      : text("the read of page %1 of %2 failed; ")
                                            .arg(facts.failedPage + 1)
                                            .arg(MemoryMap::kApplicationSize / MemoryMap::kPageSize))
                + readOnly(facts);
     }},
    // Not an end of a run with the start check, nor of one with a file.
    {Outcome::Written, Failed, ExitDeviceFailed,
     [](const RunFacts &) { return text("the upgrade failed: ") + text(kAgain); }},
    {Outcome::NoFile, Failed, ExitDeviceFailed,
     [](const RunFacts &) { return text("the upgrade failed: ") + text(kAgain); }},
};

// One row per way a device is refused: the worker's log line (translated as
// its other lines are) and the message of the front ends.
struct Refusal {
    usb::Refusal why;
    const char *line;
    const char *message;
};
const Refusal kRefusals[] = {
    {usb::Refusal::NoPermission,
     QT_TRANSLATE_NOOP("Upgrader", "VR480 found (%1), but it could not be opened: no permission"),
     "a VR480 is on the bus (%1), but this user may not open it: install the udev rule 60-vr480.rules (see the "
     "README, \"USB access on Linux\"), then plug the device in again"},
    {usb::Refusal::NotBound,
     QT_TRANSLATE_NOOP("Upgrader", "VR480 found (%1), but it could not be opened: not bound to WinUSB, or in use"),
     "a VR480 is on the bus (%1), but it cannot be opened: it is not bound to the WinUSB driver, or another program "
     "has it open (see the README, \"Binding the VR480 to WinUSB\")"},
};

const char *const kWaitingLine = QT_TRANSLATE_NOOP(
    "Upgrader", "VR480 found (%1), but it cannot be opened yet: waiting up to %2 s for its driver or its permissions");
const char *const kWaitingMessage =
    "a VR480 is on the bus (%1), but it cannot be opened yet: waiting up to %2 s for its driver or its permissions";

const Refusal *refusalOf(const usb::DeniedDevice &denied)
{
    if (denied.place.isEmpty())
        return nullptr;
    for (const Refusal &refusal : kRefusals)
        if (refusal.why == denied.why)
            return &refusal;
    return nullptr;
}

} // namespace

RunFacts RunFacts::of(const QString &file, const Upgrader &upgrader, USBVR480 &usb)
{
    RunFacts facts;
    facts.file = file;
    facts.left = upgrader.left();
    facts.firmware = upgrader.firmwareFound();
    facts.serial = upgrader.deviceFound().serial;
    facts.followed = usb.selectedSerials().value(0);
    facts.failedPage = upgrader.failedPage();
    facts.denied = usb.deniedDevice();
    facts.job = upgrader.currentJob();
    facts.pagesDiffering = int(upgrader.comparison().pages.size());
    facts.rangesDiffering = int(upgrader.comparison().ranges.size());
    return facts;
}

OutcomeText outcomeText(Upgrader::Outcome outcome, const RunFacts &facts)
{
    for (const Row &row : kRows)
        if (row.outcome == outcome)
            return {text(word(row.word)), row.status, row.message(facts)};
    return {text(word(Failed)), ExitDeviceFailed, text("the upgrade failed: ") + text(kAgain)};
}

QString completeLine(Upgrader::Job job, const QString &file)
{
    if (job == Upgrader::Job::Verify)
        return text("Matches: the device holds the firmware of ") + USBVR480::escapedName(file);
    return text("Upgrade complete: ") + text(kOutcomeWords[Upgraded].meaning);
}

QString refusalLine(const usb::DeniedDevice &denied)
{
    const Refusal *refusal = refusalOf(denied);
    return refusal ? QCoreApplication::translate("Upgrader", refusal->line).arg(denied.place) : QString();
}

QString refusalMessage(const usb::DeniedDevice &denied)
{
    const Refusal *refusal = refusalOf(denied);
    return refusal ? text(refusal->message).arg(denied.place) : QString();
}

QString refusalLine(const usb::DeniedDevice &denied, int seconds)
{
    return QCoreApplication::translate("Upgrader", kWaitingLine).arg(denied.place).arg(seconds);
}

QString refusalMessage(const usb::DeniedDevice &denied, double seconds)
{
    return text(kWaitingMessage).arg(denied.place).arg(seconds);
}

QString outcomeWordsText()
{
    QStringList words;
    for (const OutcomeWord &outcome : kOutcomeWords)
        words << text("%1: %2").arg(text(outcome.word), text(outcome.meaning));
    return words.join(text("; "));
}

QString notFoundMessage()
{
    return text("no VR480 found: check the USB cable, and that this user may open the device");
}

QString serialText(const QByteArray &serial)
{
    return serial.isEmpty() ? QStringLiteral("\"\"") : USBVR480::escapedText(serial);
}

QString twinText(const QByteArray &serial)
{
    return text("another VR480 with the serial %1 is attached, and the two cannot be told apart")
        .arg(serialText(serial));
}
