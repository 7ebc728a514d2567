#pragma once
// What the commands of vr480-cli share: how a command is described, how it
// reads its arguments and how it ends.

#include "exitstatus.h"
#include "outcome.h"

#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <cstdio>
#include <functional>
#include <optional>

class QIODevice;
class USBVR480;

namespace image {
class OutputFiles;
}

namespace cli {

// How a command ended: its exit status and, when it failed, what to say on
// standard error. A usage error also points at the command's help.
struct Result {
    int status = ExitOk;
    QString message;
    bool usage = false;
    // The command said on standard error that its output was lost; its
    // status stands (the device's outcome, not the lost output's).
    bool outputLossSaid = false;
};
inline Result failure(int status, const QString &message)
{
    return {status, message, false};
}

// A command's parsed command line. The conversions record the first usage
// error, naming the argument, and then give a placeholder value: a command
// reads all its arguments, then returns usageError() if there is one.
class Invocation {
public:
    Invocation(const QCommandLineParser &parser, bool terminal) : parser(parser), terminal(terminal) {}

    const QCommandLineParser &parser;
    const bool terminal; // standard output is a terminal

    QString argument(int i) const { return parser.positionalArguments().at(i); }
    std::optional<QString> option(const QString &name) const;
    QString requiredOption(const QString &name);
    // An address as the service tools take it: hexadecimal, "0x" optional.
    quint32 address(const QString &what, const QString &text);
    // A decimal number, or a hexadecimal one with "0x", from `low` to `high`.
    int number(const QString &what, const QString &text, int low, int high);
    // A number option; `fallback` when it is not given, else it is required.
    int numberOption(const QString &name, int low, int high, std::optional<int> fallback);

    void refuse(const QString &message); // records a usage error
    std::optional<Result> usageError() const;

private:
    QString error;
};

struct Argument {
    QString name;
    QString description;
};

struct Command {
    QString name;
    QString summary; // one line, for the program's help
    QString details; // more, for the command's help
    QList<Argument> arguments;
    QList<QCommandLineOption> options;
    std::function<Result(Invocation &)> run;
};

// The commands by subject, in the order the help lists them.
QList<Command> imageCommands();   // create-upg, create-bootbin, hex2bin
QList<Command> listCommands();    // list
QList<Command> deviceCommands();  // info, restart
QList<Command> upgradeCommands(); // upgrade
QList<Command> readbackCommands(); // verify, backup
QList<Command> toolCommands();    // read-mem, read-ext, write-ext

QCommandLineOption outputOption(const QString &what);
// --serial SERIAL, which every command on a device takes; `more` adds to its help.
QCommandLineOption serialOption(const QString &more = {});

// The program's name as it was started, for messages.
QString programName();
void setProgramName(const QString &name);

// Writes and flushes. The first failure on standard output is kept (and
// nothing more is written there) for outputLost().
void writeTo(std::FILE *stream, const QByteArray &bytes);
// A line on standard output; the bytes of a file name that is not UTF-8 come
// out as given. File names and arguments in any message are first escaped
// (USBVR480::escapedText): one message, one line.
void print(const QString &text);
// Flushes standard output; what went wrong on it during the run, if anything.
std::optional<QString> outputLost();
// After device work: a lost standard output (its reader gone) is said on
// standard error and leaves `result`'s status as the device's outcome.
void reportLostOutput(Result &result);

// The whole of an input file, at most `limit` bytes, read once (a pipe or
// FIFO works); a stop signal ends the wait. Nothing, with the failure in
// `*refusal` (status 3, or 130), when it cannot be read.
std::optional<QByteArray> readInput(const QString &fileName, qint64 limit, Result *refusal);
// Refuses (status 3) an input that does not exist, is a folder or may not be
// read, without opening it: a pipe is left for the one read that follows.
std::optional<Result> checkInput(const QString &fileName);
// Refuses, before any work, an output name that is empty or the same file as
// one of `inputs` (usage errors), or one OutputFiles cannot write: a folder,
// a link to nothing, a loop of links, in a folder that does not exist
// (status 4). "-" is standard output.
std::optional<Result> checkOutput(const QString &fileName, const QStringList &inputs = {});
// Writes an output file (under a temporary name, renamed when complete) and
// prints its name; "-" writes the bytes to standard output (writeTo).
Result saveOutput(const QString &fileName, const std::function<bool(QIODevice &)> &write);
Result saveOutput(const QString &fileName, const QByteArray &contents);
// Puts the files in place and prints `names`; they stay only when all of
// standard output reached it, the command's earlier output included. A
// failure leaves every file as it was (status 4, or 130 after a stop signal).
Result commitOutputs(image::OutputFiles &files, const QStringList &names);
// The status and message of a command stopped by a signal: nothing committed.
Result interrupted();

// The result of a command that found no device it could use: ExitNoDevice
// with `notFound` (when empty: no VR480 found, check the cable and the
// permissions), unless a VR480 is on the bus that this user may not open:
// then a message that names it and points at the udev rule, or on Windows at
// its binding to WinUSB.
Result noDeviceResult(USBVR480 &usb, const QString &notFound = {});

// Chooses the device by the command's --serial (cli/devices.h), connects to
// it and runs `work` on a thread of its own, so that a stop signal ends it
// between two transfers; `work` gets the serial read at connection. No device
// answering gives ExitNoDevice; a failure after a stop signal gives
// ExitInterrupted.
Result onDevice(const Invocation &in, USBVR480 &usb, const std::function<Result(const QByteArray &serial)> &work);

} // namespace cli
