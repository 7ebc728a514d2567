#include "command.h"

#include "devices.h"
#include "inputfile.h"
#include "interrupt.h"
#include "outputfiles.h"
#include "servicetools.h"
#include "usbvr480.h"

#include <QBuffer>
#include <QDir>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace cli {

namespace {
QString name = QStringLiteral("vr480-cli");
} // namespace

std::optional<QString> Invocation::option(const QString &name) const
{
    if (!parser.isSet(name))
        return std::nullopt;
    return parser.value(name);
}

QString Invocation::requiredOption(const QString &name)
{
    const std::optional<QString> value = option(name);
    if (!value || value->isEmpty())
        refuse(QStringLiteral("--%1 is required").arg(name));
    return value.value_or(QString());
}

quint32 Invocation::address(const QString &what, const QString &text)
{
    bool ok = false;
    const quint32 value = ServiceTools::fromHexText(text, &ok);
    if (!ok)
        refuse(QStringLiteral("%1 \"%2\" is not a hexadecimal 32-bit address").arg(what, USBVR480::escapedText(text)));
    return value;
}

int Invocation::number(const QString &what, const QString &text, int low, int high)
{
    bool ok = false;
    const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const qlonglong value = hex ? text.mid(2).toLongLong(&ok, 16) : text.toLongLong(&ok, 10);
    if (!ok || value < low || value > high) {
        refuse(QStringLiteral("%1 \"%2\" is not a number from %3 to %4")
                   .arg(what, USBVR480::escapedText(text))
                   .arg(low)
                   .arg(high));
        return low;
    }
    return int(value);
}

int Invocation::numberOption(const QString &name, int low, int high, std::optional<int> fallback)
{
    const std::optional<QString> text = option(name);
    if (!text && fallback)
        return *fallback;
    if (!text) {
        refuse(QStringLiteral("--%1 is required").arg(name));
        return low;
    }
    return number(QStringLiteral("--") + name, *text, low, high);
}

void Invocation::refuse(const QString &message)
{
    if (error.isEmpty())
        error = message;
}

std::optional<Result> Invocation::usageError() const
{
    if (error.isEmpty())
        return std::nullopt;
    return Result{ExitUsage, error, true};
}

QCommandLineOption outputOption(const QString &what)
{
    return QCommandLineOption({QStringLiteral("o"), QStringLiteral("output")}, what, QStringLiteral("FILE"));
}

QString programName()
{
    return name;
}

void setProgramName(const QString &programName)
{
    name = programName;
}

namespace {
std::atomic<int> outputError{0}; // the errno of the first failure on standard output
} // namespace

void writeTo(std::FILE *stream, const QByteArray &bytes)
{
    if (stream == stdout && outputError != 0)
        return;
    errno = 0;
    if ((std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) != size_t(bytes.size())
         || std::fflush(stream) != 0)
        && stream == stdout) {
        int none = 0;
        outputError.compare_exchange_strong(none, errno != 0 ? errno : EIO);
    }
}

void print(const QString &text)
{
    writeTo(stdout, image::encodeFileName(text) + '\n');
}

std::optional<QString> outputLost()
{
    writeTo(stdout, {});
    if (outputError == 0)
        return std::nullopt;
    return QString::fromLocal8Bit(std::strerror(outputError));
}

void reportLostOutput(Result &result)
{
    const std::optional<QString> lost = outputLost();
    if (!lost)
        return;
    writeTo(stderr, QStringLiteral("%1: standard output: %2: the log was lost; the device work went on to its end\n")
                        .arg(programName(), *lost)
                        .toLocal8Bit());
    result.outputLossSaid = true;
}

std::optional<QByteArray> readInput(const QString &fileName, qint64 limit, Result *refusal)
{
    image::InputFile file = image::readInputFile(fileName, limit, stopRequested);
    switch (file.result.status) {
    case image::FileStatus::Ok:
        return std::move(file.bytes);
    case image::FileStatus::TooLarge:
        *refusal = failure(ExitBadInput, QStringLiteral("%1: larger than %2 bytes")
                                             .arg(USBVR480::escapedName(fileName))
                                             .arg(limit));
        break;
    case image::FileStatus::Interrupted:
        *refusal = interrupted();
        break;
    default: // CannotRead
        *refusal = failure(ExitBadInput,
                           QStringLiteral("%1: %2").arg(USBVR480::escapedName(fileName), file.result.error));
        break;
    }
    return std::nullopt;
}

std::optional<Result> checkInput(const QString &fileName)
{
    const QString reason = image::inputFileProblem(fileName);
    if (reason.isEmpty())
        return std::nullopt;
    return failure(ExitBadInput, QStringLiteral("%1: %2").arg(USBVR480::escapedName(fileName), reason));
}

std::optional<Result> checkOutput(const QString &fileName, const QStringList &inputs)
{
    if (fileName.isEmpty())
        return Result{ExitUsage, QStringLiteral("the output file name is empty"), true};
    if (fileName == QLatin1String("-"))
        return std::nullopt;
    for (const QString &input : inputs) {
        if (image::OutputFiles::sameFile(fileName, input))
            return Result{ExitUsage, QStringLiteral("%1 is also the input file").arg(USBVR480::escapedName(fileName)),
                          true};
    }
    const QString reason = image::OutputFiles::targetProblem(fileName);
    if (reason.isEmpty())
        return std::nullopt;
    return failure(ExitCannotWrite, QStringLiteral("%1: %2").arg(USBVR480::escapedName(fileName), reason));
}

Result saveOutput(const QString &fileName, const std::function<bool(QIODevice &)> &write)
{
    if (fileName == QLatin1String("-")) {
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        if (!write(out))
            return failure(ExitCannotWrite, QStringLiteral("standard output: write failed"));
        writeTo(stdout, out.data());
        return {};
    }
    image::OutputFiles file;
    file.add(fileName, write); // a failure is the commit's
    return commitOutputs(file, {fileName});
}

Result saveOutput(const QString &fileName, const QByteArray &contents)
{
    return saveOutput(fileName, image::OutputFiles::writerOf(contents));
}

Result commitOutputs(image::OutputFiles &files, const QStringList &names)
{
    const image::FileResult committed = files.commit(stopRequested, [&] {
        for (const QString &name : names)
            print(USBVR480::escapedName(name));
        const std::optional<QString> lost = outputLost();
        return lost ? QStringLiteral("standard output: %1: nothing was written").arg(*lost) : QString();
    });
    if (committed.ok())
        return {};
    // The error names the file and gives the system's reason: one line.
    return stopRequested() ? interrupted() : failure(ExitCannotWrite, USBVR480::escapedName(committed.error));
}

Result interrupted()
{
    return failure(ExitInterrupted, outcomeText(Upgrader::Outcome::InterruptedUntouched).message);
}

Result noDeviceResult(USBVR480 &usb, const QString &notFound)
{
    const QString refused = refusalMessage(usb.deniedDevice());
    return failure(ExitNoDevice, !refused.isEmpty()    ? refused
                                 : !notFound.isEmpty() ? notFound
                                                       : notFoundMessage());
}

Result onDevice(const Invocation &in, USBVR480 &usb, const std::function<Result(const QByteArray &serial)> &work)
{
    if (std::optional<Result> refusal = selectDevice(in, usb))
        return *refusal;
    Result result;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        if (usb.connect() != 0)
            result = noDeviceResult(usb);
        else
            result = work(usb.readStringDescriptor());
    }));
    thread->start();
    waitFor(*thread);
    usb.disconnect();
    if (result.status != ExitOk && stopRequested())
        return failure(ExitInterrupted, QStringLiteral("interrupted"));
    return result;
}

} // namespace cli
