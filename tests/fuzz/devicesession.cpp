#include "devicesession.h"

#include "command.h"
#include "upgradefile.h"
#include "usbvr480.h"

#include <QCommandLineParser>

#include <algorithm>
#include <cstdlib>

namespace {

enum Step : uint8_t {
    List = 1,
    Info = 2,
    Json = 4,
    InfoBySerial = 8,
    Follow = 16,
    StartCheck = 32,
    EscapedText = 64,
};

// A vr480-cli command in this process, as its command line would run it.
void runCommand(const QString &name, const QStringList &arguments)
{
    const QList<cli::Command> commands = cli::listCommands() + cli::deviceCommands();
    const auto command =
        std::find_if(commands.begin(), commands.end(), [&](const cli::Command &c) { return c.name == name; });
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(command->options);
    if (!parser.parse(QStringList{QStringLiteral("vr480-cli")} + arguments))
        std::abort();
    cli::Invocation in(parser, false);
    command->run(in);
}

// The plain image that every upgrade writes.
const QByteArray &upgradeImage()
{
    static const QByteArray image = [] {
        QByteArray bytes(UpgradeFile::kImageSize, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7 + i / 2048);
        return bytes;
    }();
    return image;
}

} // namespace

Upgrader::Outcome runDeviceSession(fuzzusb::Script &script)
{
    fuzzusb::begin(script);
    const uint8_t steps = script.next(List | Info | Follow | StartCheck).value_or(0);
    QByteArray serial;
    if (steps & (InfoBySerial | Follow))
        serial = script.take("VR4800001").value_or(QByteArray());

    fuzzusb::setReadOnly(true);
    const QStringList json = steps & Json ? QStringList{QStringLiteral("--json")} : QStringList();
    if (steps & List)
        runCommand(QStringLiteral("list"), json);
    if (steps & Info)
        runCommand(QStringLiteral("info"),
                   json + (steps & InfoBySerial ? QStringList{QStringLiteral("--serial=") + QString::fromLatin1(serial)}
                                                : QStringList()));
    fuzzusb::setReadOnly(false);

    Upgrader::Outcome outcome = Upgrader::Outcome::NoFile;
    {
        USBVR480 usb;
        if (steps & Follow && !serial.isEmpty()) {
            usb.selectSerial(serial);
            fuzzusb::follow(serial);
        }
        Upgrader upgrader(&usb);
        upgrader.setSleeper([](unsigned long) {});
        upgrader.setStartCheck(steps & StartCheck);
        upgrader.setEscapedDeviceText(steps & EscapedText);
        upgrader.setImage(upgradeImage());
        upgrader.showOn(nullptr, [](const QString &) {}, [](Upgrader::Bar, int) {});
        upgrader.slotSetFileName(QStringLiteral("fuzz.upg"));
        upgrader.start();
        upgrader.wait();
        outcome = upgrader.outcome();
    }
    fuzzusb::end();
    return outcome;
}
