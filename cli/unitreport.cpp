#include "unitreport.h"

#include "inputfile.h"
#include "outputfiles.h"
#include "reportfile.h"
#include "usbvr480.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>


namespace cli {

namespace {

const QString kReportOption = QStringLiteral("report");
const QString kJsonOption = QStringLiteral("json");

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A file name as JSON: the name, or, for a name that is not UTF-8 (bytes
// that image::decodeFileName keeps as lone surrogates, which strict parsers
// refuse), the array of its bytes, which no name given as a string can be
// taken for.
QJsonValue fileNameJson(const QString &name)
{
    if (name.isValidUtf16())
        return name;
    QJsonArray bytes;
    for (const char byte : image::encodeFileName(name))
        bytes.append(int(uchar(byte)));
    return bytes;
}

} // namespace

JsonLine &JsonLine::add(const char *key, const QJsonValue &value)
{
    // Qt's writer does the escaping: the value alone in an array, unwrapped.
    const auto text = [](const QJsonValue &value) {
        const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        return array.mid(1, array.size() - 2);
    };
    if (!fields.isEmpty())
        fields += ',';
    fields += text(QString::fromLatin1(key)) + ':' + text(value);
    return *this;
}

QByteArray JsonLine::line() const
{
    return '{' + fields + "}\n";
}

Result resultOf(const OutcomeText &ending)
{
    return ending.status == ExitOk ? Result{} : failure(ending.status, ending.message);
}

OutcomeText runEnding(const Upgrader &upgrader, USBVR480 &usb, const QString &upgFile)
{
    RunFacts facts = RunFacts::of(upgFile, upgrader, usb);
    facts.program = programName();
    return outcomeText(upgrader.outcome(), facts);
}

UnitRecord UnitRecord::begin(const UpgradeFileId &file, const std::optional<QByteArray> &serial)
{
    UnitRecord record;
    if (serial)
        record.serial = USBVR480::baseSerial(*serial);
    record.file = file;
    record.start = QDateTime::currentDateTimeUtc();
    record.clock.start();
    return record;
}

void UnitRecord::finish(const Upgrader &upgrader, const OutcomeText &ending)
{
    ms = clock.elapsed();
    end = QDateTime::currentDateTimeUtc();
    const Upgrader::DeviceFound found = upgrader.deviceFound();
    if (!found.place.bus.isEmpty()) // a device answered, perhaps with an empty serial
        serial = USBVR480::baseSerial(found.serial);
    bootloader = found.bootloaderVersion;
    place = found.place;
    outcome = ending.word;
    result = resultOf(ending);
}

QString UnitRecord::message() const
{
    if (result.status != ExitOk)
        return result.message;
    const OutcomeText matches = outcomeText(Upgrader::Outcome::Matches);
    return outcome == matches.word ? matches.message : outcomeText(Upgrader::Outcome::Started).message;
}

QByteArray UnitRecord::json() const
{
    const auto orNull = [](bool known, const QJsonValue &value) { return known ? value : QJsonValue(); };
    return JsonLine()
        .add("serial", orNull(serial.has_value(), USBVR480::deviceText(serial.value_or(QByteArray()))))
        .add("bootloader", orNull(bootloader.has_value(), bootloader.value_or(QString())))
        .add("bus", orNull(!place.bus.isEmpty(), place.bus))
        .add("device", orNull(!place.bus.isEmpty(), place.device))
        .add("file", fileNameJson(file.name))
        .add("sha256", file.sha256)
        .add("start", start.toString(Qt::ISODateWithMs))
        .add("end", end.toString(Qt::ISODateWithMs))
        .add("seconds", double(ms) / 1000)
        .add("outcome", outcome)
        .add("status", result.status)
        .add("message", message())
        .line();
}

QCommandLineOption reportOption()
{
    return QCommandLineOption(kReportOption,
                              QStringLiteral("Append the record of each device run to FILE as one line of JSON, "
                                             "written and flushed to the disk as soon as the run ends (created "
                                             "when missing; several programs may share it)."),
                              QStringLiteral("FILE"));
}

QCommandLineOption jsonOption(const QString &what)
{
    return QCommandLineOption(kJsonOption, what);
}

bool jsonOutput(const Invocation &in)
{
    return in.parser.isSet(kJsonOption);
}

UnitReport::~UnitReport()
{
    if (fd >= 0)
        closeAppending(fd);
}

std::optional<Result> UnitReport::open(const Invocation &in, const QString &input)
{
    jsonOut = jsonOutput(in);
    const std::optional<QString> name = in.option(kReportOption);
    if (!name)
        return std::nullopt;
    if (name->isEmpty())
        return Result{ExitUsage, QStringLiteral("the report file name is empty"), true};
    if (image::OutputFiles::sameFile(*name, input))
        return Result{ExitUsage, QStringLiteral("%1 is also the input file").arg(USBVR480::escapedName(*name)), true};
    fileName = *name;
    QString reason;
    fd = openForAppending(fileName, &reason);
    if (fd < 0)
        return failure(ExitCannotWrite, QStringLiteral("%1: %2").arg(USBVR480::escapedName(fileName), USBVR480::escapedName(reason)));
    return std::nullopt;
}

void UnitReport::add(const UnitRecord &record)
{
    const QByteArray line = record.json();
    if (fd >= 0) {
        if (const int error = appendWhole(fd, line); error != 0) {
            ++lost;
            writeTo(stderr, image::encodeFileName(QStringLiteral("%1: %2: %3: the record of %4 is not in the report\n")
                                                      .arg(programName(), USBVR480::escapedName(fileName), systemError(error),
                                                           record.serial ? serialText(*record.serial)
                                                                         : QStringLiteral("a device"))));
        }
    }
    if (jsonOut)
        writeTo(stdout, line);
}

void UnitReport::failOnLostRecords(Result &result) const
{
    if (lost == 0 || result.status == ExitInterrupted)
        return;
    const QString missing =
        QStringLiteral("%1: %2 record(s) not written").arg(USBVR480::escapedName(fileName)).arg(int(lost));
    result.status = ExitCannotWrite;
    result.message = result.message.isEmpty() ? missing : missing + QStringLiteral("; ") + result.message;
}

} // namespace cli
