#pragma once
// The record of every unit an upgrade run touches, for a factory database:
// one JSON object per line, per device run, appended to the file of
// --report and, with --json, written on standard output.

#include "command.h"
#include "outcome.h"
#include "platform.h"
#include "upgrader.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonValue>
#include <QString>

#include <atomic>
#include <cstdio>
#include <optional>

namespace cli {

// A JSON object on one line, its keys in the order they are added.
class JsonLine {
public:
    JsonLine &add(const char *key, const QJsonValue &value);
    QByteArray line() const; // the object and '\n'

private:
    QByteArray fields;
};

// A run's ending (the outcome table's words) as a command's result: its
// status and, for a failure, its message.
Result resultOf(const OutcomeText &ending);
// How the run of `upgrader` on `usb` ended, in the outcome table's words.
OutcomeText runEnding(const Upgrader &upgrader, USBVR480 &usb, const QString &upgFile);

// The upgrade file as every record names it: the name given on the command
// line and the SHA-256 of its bytes, in lowercase hexadecimal.
struct UpgradeFileId {
    QString name;
    QString sha256;
};

// One device run. begin() just before its worker starts; finish() once the
// worker has ended, on any thread.
struct UnitRecord {
    std::optional<QByteArray> serial; // the unit's serial, application form; nothing: unknown
    std::optional<QString> bootloader;
    UsbDevice::Place place; // where the run found it; an empty bus: not found
    UpgradeFileId file;
    QDateTime start, end; // UTC
    qint64 ms = 0;        // from start to end, on a monotonic clock
    QString outcome;      // a word of kOutcomeWords (outcome.h)
    Result result;        // the status and message of a single run

    // A run of `file` that starts now, on the device `serial` asks for (any
    // serial form; nothing: the one attached).
    static UnitRecord begin(const UpgradeFileId &file, const std::optional<QByteArray> &serial = std::nullopt);
    // Ends now: what the worker found and how it ended, in the outcome
    // table's words (runEnding).
    void finish(const Upgrader &upgrader, const OutcomeText &ending);
    // The fields in the order docs/record.md lists them, on one line.
    QByteArray json() const;
    // The result's message; for an upgrade, what the summary says.
    QString message() const;

private:
    QElapsedTimer clock;
};

// --report FILE, which upgrade and station take.
QCommandLineOption reportOption();
// --json, which list, info, upgrade and station take; `what` says what it
// writes. jsonOutput(): whether the command was given it.
QCommandLineOption jsonOption(const QString &what);
bool jsonOutput(const Invocation &in);

// Where the records of a command go: the file of --report, appended to, and
// standard output with --json. Any thread may add a record.
class UnitReport {
public:
    UnitReport() = default;
    UnitReport(const UnitReport &) = delete;
    UnitReport &operator=(const UnitReport &) = delete;
    ~UnitReport();

    // Takes --report and --json; opens the report (created when missing,
    // never truncated) before any device work. A refusal otherwise: status 4
    // when it cannot be opened, 2 for a name that is empty or `input`'s.
    std::optional<Result> open(const Invocation &in, const QString &input);
    bool json() const { return jsonOut; }
    // Where the command's text goes: standard error with --json (standard
    // output then holds only the records), else standard output; and whether
    // it is a terminal.
    std::FILE *textStream() const { return jsonOut ? stderr : stdout; }
    bool textTerminal(const Invocation &in) const { return jsonOut ? isTerminal(stderr) : in.terminal; }

    // The record, whole, with one write on the report, flushed to the disk
    // before this returns, and on standard output with --json. A report
    // that cannot be written is said at once on standard error.
    void add(const UnitRecord &record);
    // No record has failed to be written so far.
    bool intact() const { return lost == 0; }
    // After the device work: a record not written makes the status 4, but
    // after a stop signal (130).
    void failOnLostRecords(Result &result) const;

private:
    QString fileName;
    int fd = -1;
    bool jsonOut = false;
    std::atomic<int> lost{0};
};

} // namespace cli
