#pragma once
// How a device run ended, in words: the one table that every front end reads
// (a single upgrade, several at once, the station, the records and the help).
// Each outcome of the worker has a record word, the exit status of the run
// alone and the message that says it; each way a device is refused has the
// worker's log line and the message. A new ending is a new row here.

#include "devicenode.h"
#include "exitstatus.h"
#include "upgrader.h"
#include "usbvr480.h"

#include <QByteArray>
#include <QString>

// The words of a record's outcome, with their meaning, for the help
// (outcomeWordsText) and docs/record.md.
struct OutcomeWord {
    const char *word;
    const char *meaning;
};
inline constexpr OutcomeWord kOutcomeWords[] = {
    {"upgraded", "the new application is running"},
    {"not-started", "written and verified, but the new application was not seen running: it did not come back, "
                    "or another VR480 with the same serial could have answered"},
    {"failed", "a write or a verification failed, or another VR480 with the same serial stopped the upgrade; the "
               "device may be left in its bootloader"},
    {"untouched", "nothing was written; the message says where the device is: in its application, in its "
                  "bootloader with its old application intact, or off the bus"},
    {"no-device", "no device answered"},
    {"interrupted", "stopped by Ctrl+C or a termination signal"},
    {"matches", "verified: the device holds the upgrade file's application and external-flash data"},
    {"differs", "verified: the device does not hold them; the message names the pages and ranges that differ"},
};

// What a message says beyond the outcome: the run's file and where it left
// the device.
struct RunFacts {
    QString file;    // the upgrade file's name as given
    QString program; // the program's name, for a command the message suggests
    Upgrader::Left left = Upgrader::Left::AsFound;
    USBVR480::Firmware firmware = USBVR480::Firmware::Unknown; // found running
    QByteArray serial;        // read at the first connection
    QByteArray followed;      // the serial followed, which a twin answers to too
    int failedPage = -1;      // of a page that failed
    usb::DeniedDevice denied; // a device found but not opened
    bool ran = true;          // false: a unit passed by without a run (a twin)
    Upgrader::Job job = Upgrader::Job::Write;
    int pagesDiffering = 0, rangesDiffering = 0; // of a verify

    // What `upgrader` found on `usb`, for a run of `file` (without the
    // program's name).
    static RunFacts of(const QString &file, const Upgrader &upgrader, USBVR480 &usb);
};

// A run's ending in words.
struct OutcomeText {
    QString word;
    ExitStatus status = ExitOk;
    QString message;
};
OutcomeText outcomeText(Upgrader::Outcome outcome, const RunFacts &facts = {});
// "word: meaning; ..." for every word, for a command's help.
QString outcomeWordsText();

// A single run's last line when it ended well: "Upgrade complete: the new
// application is running", or for a verify that `file` matches.
QString completeLine(Upgrader::Job job, const QString &file);

// A device with the right ids that could not be opened: the worker's log line
// and the front ends' message, both naming its place; empty for none.
QString refusalLine(const usb::DeniedDevice &denied);
QString refusalMessage(const usb::DeniedDevice &denied);
// The same for one that may still become usable (a new device without its
// driver or its permissions yet), waited for up to `seconds`.
QString refusalLine(const usb::DeniedDevice &denied, int seconds);
QString refusalMessage(const usb::DeniedDevice &denied, double seconds);
// No device found that could be opened, for a command that asked for one.
QString notFoundMessage();

// A serial in a message or a column: its control characters escaped
// (USBVR480::escapedText), and "" for an empty one, so that it is seen.
QString serialText(const QByteArray &serial);
// Why a device with `serial` is not upgraded when another one has it too.
QString twinText(const QByteArray &serial);
