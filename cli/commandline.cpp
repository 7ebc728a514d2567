#include "commandline.h"

#include "command.h"
#include "inputfile.h"
#include "interrupt.h"
#include "platform.h"
#include "station.h"
#include "usbvr480.h"

#include <algorithm>

namespace cli {

namespace {

const QList<Command> &commands()
{
    static const QList<Command> table = imageCommands() + listCommands() + deviceCommands() + upgradeCommands()
                                           + readbackCommands()
                                           + stationCommands() + toolCommands();
    return table;
}

const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                    QStringLiteral("Show this help."));
const QCommandLineOption verboseOption({QStringLiteral("v"), QStringLiteral("verbose")},
                                       QStringLiteral("Also write the device traffic and other debug lines "
                                                      "on standard error."));

QString programHelp()
{
    QString list;
    for (const Command &command : commands())
        list += QStringLiteral("  %1%2\n").arg(command.name, -16).arg(command.summary);
    QString statuses;
    for (const ExitStatusMeaning &exit : kExitStatuses)
        statuses += QStringLiteral("  %1%2\n").arg(int(exit.status), -5).arg(QLatin1String(exit.meaning));
    return QStringLiteral(
               "Usage: %1 [-v] COMMAND [ARGUMENTS]\n"
               "\n"
               "Builds VR480 firmware images, upgrades the VR480 and reads and writes its memory.\n"
               "\n"
               "Commands:\n%2"
               "\n"
               "Options:\n"
               "  -h, --help      Show this help; after a command, the command's help.\n"
               "  -v, --verbose   Also write the device traffic and other debug lines on standard error.\n"
               "  --version       Show the version.\n"
               "\n"
               "Addresses are hexadecimal (\"0x\" optional); other numbers are decimal, or\n"
               "hexadecimal with \"0x\". Files are written under a temporary name and renamed\n"
               "when complete: a failure leaves no file behind.\n"
               "\n"
               "Exit status:\n%3"
               "\n"
               "Run '%1 COMMAND --help' for a command's arguments and options.\n")
        .arg(programName(), list, statuses);
}

// `text` in lines of at most 79 characters, broken between words.
QString wrapped(const QString &text)
{
    QString result;
    qsizetype lineStart = 0;
    for (const QString &word : text.split(QLatin1Char(' '))) {
        if (result.size() > lineStart && result.size() - lineStart + 1 + word.size() > 79) {
            result += QLatin1Char('\n');
            lineStart = result.size();
        } else if (result.size() > lineStart) {
            result += QLatin1Char(' ');
        }
        result += word;
    }
    return result;
}

void setUp(QCommandLineParser &parser, const Command &command)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(command.summary + QStringLiteral(".\n\n") + wrapped(command.details));
    for (const Argument &argument : command.arguments)
        parser.addPositionalArgument(argument.name, argument.description);
    parser.addOptions(command.options);
    parser.addOption(helpOption);
    parser.addOption(verboseOption);
}

QString commandHelp(const QCommandLineParser &parser, const Command &command)
{
    QString usage = QStringLiteral("Usage: %1 %2").arg(programName(), command.name);
    if (!command.options.isEmpty())
        usage += QStringLiteral(" [options]");
    for (const Argument &argument : command.arguments)
        usage += QLatin1Char(' ') + argument.name;
    QString text = parser.helpText();
    return usage + text.mid(text.indexOf(QLatin1Char('\n')));
}

bool verbose = false;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg && !verbose)
        return;
    writeTo(stderr, text.toLocal8Bit() + '\n');
}

Result usageError(const QString &message)
{
    return {ExitUsage, message, true};
}

// The command's name (empty for the program's own options) and how it ended.
Result run(const QStringList &arguments, bool terminal, QString &name)
{
    // Options before the command: only the program's own.
    int at = 1;
    for (; at < arguments.size() && arguments.at(at).startsWith(QLatin1Char('-')); ++at) {
        const QString &option = arguments.at(at);
        if (option == QLatin1String("-h") || option == QLatin1String("--help")) {
            writeTo(stdout, programHelp().toLocal8Bit());
            return {};
        }
        if (option == QLatin1String("--version")) {
            print(QStringLiteral("%1 " VR480_VERSION).arg(programName()));
            return {};
        }
        if (option == QLatin1String("-v") || option == QLatin1String("--verbose"))
            verbose = true;
        else
            return usageError(QStringLiteral("unknown option %1").arg(USBVR480::escapedText(option)));
    }
    if (at == arguments.size())
        return usageError(QStringLiteral("no command given"));
    if (arguments.at(at) == QLatin1String("help")) {
        writeTo(stdout, programHelp().toLocal8Bit());
        return {};
    }
    const auto command = std::find_if(commands().begin(), commands().end(),
                                      [&](const Command &c) { return c.name == arguments.at(at); });
    if (command == commands().end())
        return usageError(QStringLiteral("unknown command \"%1\"").arg(USBVR480::escapedText(arguments.at(at))));
    name = command->name;

    QCommandLineParser parser;
    setUp(parser, *command);
    QStringList rest = arguments.mid(at + 1);
    rest.prepend(programName());
    if (!parser.parse(rest))
        return usageError(USBVR480::escapedText(parser.errorText())); // one line, naming the argument
    if (parser.isSet(helpOption)) {
        writeTo(stdout, commandHelp(parser, *command).toLocal8Bit());
        return {};
    }
    verbose = verbose || parser.isSet(verboseOption);
    const QStringList given = parser.positionalArguments();
    if (given.size() > command->arguments.size())
        return usageError(QStringLiteral("unexpected argument \"%1\"")
                              .arg(USBVR480::escapedText(given.at(command->arguments.size()))));
    if (given.size() < command->arguments.size())
        return usageError(QStringLiteral("%1 is missing").arg(command->arguments.at(given.size()).name));
    Invocation in(parser, terminal);
    return command->run(in);
}

} // namespace

int runCommandLine(const QStringList &arguments, bool terminal)
{
    if (!arguments.isEmpty())
        setProgramName(USBVR480::escapedText(programNameOf(arguments.first())));
    qInstallMessageHandler(messageHandler);
    catchStopSignals();
    QString command;
    Result result = run(arguments, terminal, command);
    // Output that did not reach its reader fails a command that did its work.
    if (const std::optional<QString> lost = outputLost(); lost && result.status == ExitOk && !result.outputLossSaid)
        result = failure(ExitCannotWrite, QStringLiteral("standard output: ") + *lost);
    if (result.status != ExitOk) {
        QString text = programName() + QStringLiteral(": ") + result.message + QLatin1Char('\n');
        if (result.usage)
            text += command.isEmpty() ? QStringLiteral("Try '%1 --help'.\n").arg(programName())
                                      : QStringLiteral("Try '%1 %2 --help'.\n").arg(programName(), command);
        writeTo(stderr, image::encodeFileName(text));
    }
    return result.status;
}

} // namespace cli
