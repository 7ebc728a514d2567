// vr480-usbip: the simulated VR480 devices put on this machine's USB through
// the kernel's USB/IP virtual host controller (vhci_hcd, module vhci-hcd), so
// that the kernel enumerates them and any program, with the system's libusb,
// drives them like real hardware. Runs as root; see --help.
//
// Each device that is on the simulated bus is attached to a free high-speed
// port with one end of a socket pair. When it leaves the bus (its restart
// request, an unplug fault) the port is detached; when the simulation brings
// it back (in its other mode after a restart) it is attached again, and the
// kernel enumerates it anew. SIGUSR1 plugs unplugged devices back in;
// SIGTERM or SIGINT detaches everything and ends (saving the state first).

#include "simdevice.h"
#include "usbipdevice.h"
#include "vhci.h"

#ifdef VR480_LUSB0_HEADER
#include <lusb0_usb.h>
#else
#include <usb.h>
#endif

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QMap>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTickMs = 20;        // how often a device off the bus is looked for
constexpr int kLeaveDelayMs = 50;  // between the last answer and leaving the bus

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t replugRequested = 0;

extern "C" void onStop(int)
{
    stopRequested = 1;
}

extern "C" void onReplug(int)
{
    replugRequested = 1;
}

bool verbose = false;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg && !verbose)
        return;
    std::fprintf(stderr, "vr480-usbip: %s\n", qPrintable(text));
    std::fflush(stderr);
}

[[noreturn]] void usageError(const QString &message)
{
    std::fprintf(stderr, "vr480-usbip: %s\nTry 'vr480-usbip --help'.\n", qPrintable(message));
    std::exit(2);
}

// "word,key=value,key=value": the leading word (if it has no "=") under "".
// A key given twice is a usage error, not the last one winning.
QMap<QString, QString> parseSpec(const QString &spec)
{
    QMap<QString, QString> fields;
    const QStringList parts = spec.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (int i = 0; i < parts.size(); ++i) {
        const qsizetype eq = parts[i].indexOf(QLatin1Char('='));
        const QString key = eq >= 0 ? parts[i].left(eq) : i == 0 ? QString() : parts[i];
        if (fields.contains(key))
            usageError(QStringLiteral("\"%1\" is given twice in \"%2\"").arg(key, spec));
        fields.insert(key, eq >= 0 ? parts[i].mid(eq + 1) : i == 0 ? parts[i] : QStringLiteral("yes"));
    }
    return fields;
}

int number(const QMap<QString, QString> &fields, const QString &key, int fallback)
{
    if (!fields.contains(key))
        return fallback;
    bool ok = false;
    const int value = fields[key].toInt(&ok, 0);
    if (!ok)
        usageError(QStringLiteral("%1=%2 is not a number").arg(key, fields[key]));
    return value;
}

bool yes(const QMap<QString, QString> &fields, const QString &key, bool fallback)
{
    if (!fields.contains(key))
        return fallback;
    return fields[key] == QLatin1String("yes");
}

void checkKeys(const QMap<QString, QString> &fields, const QStringList &known, const QString &spec)
{
    for (auto it = fields.begin(); it != fields.end(); ++it)
        if (!it.key().isEmpty() && !known.contains(it.key()))
            usageError(QStringLiteral("unknown key \"%1\" in \"%2\"").arg(it.key(), spec));
}

void addDevice(const QString &spec)
{
    const QMap<QString, QString> f = parseSpec(spec);
    checkKeys(f,
              {QStringLiteral("mode"), QStringLiteral("serial"), QStringLiteral("bus"), QStringLiteral("restart-ms"),
               QStringLiteral("comes-back"), QStringLiteral("family"), QStringLiteral("fail-set-configuration"),
               QStringLiteral("plugged")},
              spec);
    sim::DeviceConfig config;
    const QString mode = f.value(QStringLiteral("mode"), QStringLiteral("application"));
    if (mode != QLatin1String("application") && mode != QLatin1String("bootloader"))
        usageError(QStringLiteral("mode=%1: application or bootloader").arg(mode));
    config.mode = mode == QLatin1String("bootloader") ? sim::Mode::Bootloader : sim::Mode::Application;
    if (f.contains(QStringLiteral("serial"))) {
        config.applicationSerial = f[QStringLiteral("serial")].toLatin1();
        config.bootloaderSerial = config.applicationSerial + 'b';
    }
    config.restartDelayMs = number(f, QStringLiteral("restart-ms"), 300);
    config.comesBack = yes(f, QStringLiteral("comes-back"), true);
    config.familyId = int16_t(number(f, QStringLiteral("family"), config.familyId));
    config.failSetConfiguration = yes(f, QStringLiteral("fail-set-configuration"), false);
    sim::Device &device = sim::addDevice(number(f, QStringLiteral("bus"), 0), config);
    if (!yes(f, QStringLiteral("plugged"), true))
        device.unplug(); // until SIGUSR1
}

void addFault(const QString &spec)
{
    const QMap<QString, QString> f = parseSpec(spec);
    checkKeys(f,
              {QStringLiteral("request"), QStringLiteral("type"), QStringLiteral("skip"), QStringLiteral("times"),
               QStringLiteral("length")},
              spec);
    static const QMap<QString, sim::Fault> kinds{{QStringLiteral("timeout"), sim::Fault::Timeout},
                                                 {QStringLiteral("stall"), sim::Fault::Stall},
                                                 {QStringLiteral("short"), sim::Fault::Short},
                                                 {QStringLiteral("corrupt"), sim::Fault::Corrupt},
                                                 {QStringLiteral("unplug"), sim::Fault::Unplug}};
    if (!kinds.contains(f.value(QString())))
        usageError(QStringLiteral("\"%1\": a fault is timeout, stall, short, corrupt or unplug").arg(spec));
    sim::FaultRule rule;
    rule.fault = kinds[f.value(QString())];
    rule.request = number(f, QStringLiteral("request"), -1);
    rule.requestType = number(f, QStringLiteral("type"), -1);
    rule.skip = number(f, QStringLiteral("skip"), 0);
    rule.times = number(f, QStringLiteral("times"), 1);
    rule.shortLength = number(f, QStringLiteral("length"), 0);
    sim::addFault(rule);
}

// One simulated device and the port it is attached to, if any.
struct Slot {
    int id = 0;
    int fd = -1;
    int port = -1;
    std::unique_ptr<usbip::DeviceLink> link;
    std::optional<Clock::time_point> detachAt;

    bool attached() const { return fd >= 0; }
};

bool attach(Slot &slot, const Vhci &vhci, const std::vector<int> &taken)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    auto link = std::make_unique<usbip::DeviceLink>(slot.id, fds[0]);
    const int port = vhci.freePort(taken);
    // The device id the kernel puts in its commands: bus 1, address id + 1.
    const uint32_t devid = 1u << 16 | uint32_t(slot.id + 1);
    const bool ok = link->open() && port >= 0 && vhci.attach(port, fds[1], devid);
    ::close(fds[1]); // the kernel holds its own reference
    if (!ok) {
        ::close(fds[0]);
        return false;
    }
    const sim::DeviceConfig config = sim::devices().at(slot.id)->config();
    qInfo("device %d: attached to port %d (%s, serial %s)", slot.id, port,
          config.mode == sim::Mode::Bootloader ? "bootloader" : "application",
          (config.mode == sim::Mode::Bootloader ? config.bootloaderSerial : config.applicationSerial).constData());
    slot.fd = fds[0];
    slot.port = port;
    slot.link = std::move(link);
    slot.detachAt.reset();
    return true;
}

void detach(Slot &slot, const Vhci &vhci, bool kernelGone)
{
    if (!kernelGone)
        vhci.detach(slot.port);
    ::close(slot.fd);
    qInfo("device %d: detached from port %d%s", slot.id, slot.port,
          slot.link->unlinked() ? qPrintable(QStringLiteral(" (%1 transfers timed out)").arg(slot.link->unlinked()))
                                : "");
    slot.fd = -1;
    slot.port = -1;
    slot.link.reset();
    slot.detachAt.reset();
}

int serve(const Vhci &vhci)
{
    std::vector<Slot> entries(size_t(sim::devices().size()));
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i].id = int(i);

    while (!stopRequested) {
        if (replugRequested) {
            replugRequested = 0;
            for (sim::Device *device : sim::devices())
                if (!device->online()) {
                    device->plugIn();
                    qInfo("device %d: plugged in again", device->id());
                }
        }

        // Devices back on the simulated bus go back on the kernel's.
        std::vector<int> taken;
        for (const Slot &slot : entries)
            if (slot.attached())
                taken.push_back(slot.port);
        bool scanned = false;
        for (Slot &slot : entries) {
            if (slot.attached())
                continue;
            if (!scanned) {
                usb_find_devices(); // lets restarted devices come back
                scanned = true;
            }
            if (sim::devices().at(slot.id)->online() && attach(slot, vhci, taken))
                taken.push_back(slot.port);
        }

        std::vector<pollfd> fds;
        std::vector<Slot *> polled;
        for (Slot &slot : entries)
            if (slot.attached()) {
                fds.push_back({slot.fd, POLLIN, 0});
                polled.push_back(&slot);
            }
        const int ready = ::poll(fds.data(), nfds_t(fds.size()), kTickMs);
        for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            Slot &slot = *polled[i];
            switch (slot.link->serveOne()) {
            case usbip::DeviceLink::Outcome::Served:
                break;
            case usbip::DeviceLink::Outcome::LeftBus:
                if (!slot.detachAt) {
                    qInfo("device %d: leaves the bus", slot.id);
                    slot.detachAt = Clock::now() + std::chrono::milliseconds(kLeaveDelayMs);
                }
                break;
            case usbip::DeviceLink::Outcome::Closed:
                detach(slot, vhci, true);
                break;
            case usbip::DeviceLink::Outcome::Broken:
                qWarning("device %d: the host sent something that is not a USB/IP command for endpoint 0",
                         slot.id);
                detach(slot, vhci, false);
                break;
            }
        }
        for (Slot &slot : entries)
            if (slot.attached() && slot.detachAt && Clock::now() >= *slot.detachAt)
                detach(slot, vhci, false);
    }

    for (Slot &slot : entries)
        if (slot.attached())
            detach(slot, vhci, false);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(messageHandler);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Puts simulated VR480 devices on this machine's USB through the USB/IP virtual host controller "
        "(modprobe vhci-hcd; run as root). SIGUSR1 plugs unplugged devices back in; SIGTERM or SIGINT "
        "detaches them and ends.\n\n"
        "DEVICE: mode=application|bootloader, serial=TEXT (the bootloader's is TEXT followed by \"b\"), "
        "bus=N, restart-ms=N (time off the bus after a restart, default 300), comes-back=no, family=N, "
        "fail-set-configuration, plugged=no (unplugged until SIGUSR1).\n"
        "FAULT: timeout|stall|short|corrupt|unplug, then request=N, type=N (bmRequestType), skip=N, "
        "times=N (-1: always), length=N (for short). Numbers may be given in hexadecimal with 0x."));
    parser.addHelpOption();
    const QCommandLineOption deviceOption(QStringLiteral("device"), QStringLiteral("Add a device (repeatable)."),
                                          QStringLiteral("DEVICE"));
    const QCommandLineOption faultOption(QStringLiteral("fault"), QStringLiteral("Add a fault rule (repeatable)."),
                                         QStringLiteral("FAULT"));
    const QCommandLineOption latencyOption(QStringLiteral("latency"),
                                           QStringLiteral("Least time of a transfer in microseconds."),
                                           QStringLiteral("US"));
    const QCommandLineOption stateOption(
        QStringLiteral("state"),
        QStringLiteral("Load the simulation from FILE when it exists (instead of the devices and faults "
                       "given), and save it there at the end."),
        QStringLiteral("FILE"));
    const QCommandLineOption vhciOption(QStringLiteral("vhci"),
                                        QStringLiteral("The virtual host controller's folder (default %1).")
                                            .arg(QStringLiteral("/sys/devices/platform/vhci_hcd.0")),
                                        QStringLiteral("DIR"), QStringLiteral("/sys/devices/platform/vhci_hcd.0"));
    const QCommandLineOption verboseOption({QStringLiteral("v"), QStringLiteral("verbose")},
                                           QStringLiteral("Write every transfer on standard error."));
    parser.addOptions({deviceOption, faultOption, latencyOption, stateOption, vhciOption, verboseOption});
    parser.process(application);
    for (const QCommandLineOption *single : {&latencyOption, &stateOption, &vhciOption})
        if (parser.values(*single).size() > 1)
            usageError(QStringLiteral("--%1 is given more than once").arg(single->names().constFirst()));
    verbose = parser.isSet(verboseOption);

    const QString state = parser.value(stateOption);
    if (!state.isEmpty() && QFile::exists(state)) {
        if (!sim::loadState(state))
            usageError(QStringLiteral("%1 is not a simulation state file").arg(state));
    } else {
        sim::reset();
        const QStringList devices = parser.values(deviceOption);
        for (const QString &spec : devices.isEmpty() ? QStringList{QString()} : devices)
            addDevice(spec);
        for (const QString &spec : parser.values(faultOption))
            addFault(spec);
        if (parser.isSet(latencyOption))
            sim::setLatency(number({{QStringLiteral("latency"), parser.value(latencyOption)}},
                                   QStringLiteral("latency"), 0));
    }
    sim::setRecording(false);

    struct sigaction action = {};
    action.sa_handler = onStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = onReplug;
    sigaction(SIGUSR1, &action, nullptr);

    const int status = serve(Vhci(parser.value(vhciOption)));
    if (!state.isEmpty() && !sim::saveState(state)) {
        qWarning("cannot save the simulation to %s", qPrintable(state));
        return 1;
    }
    return status;
}
