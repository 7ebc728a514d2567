// ReadExternalFlash of the largest length its dialog allows (1 MiB) against
// the simulated device without latency: the time from the accepted length
// dialog until the log holds the whole dump, and the parts of it spent in the
// transfers, in HexDump and in the log widget. The first parts are timed on
// their own; the log widget's is the rest. For comparison: filling the log
// with clear() and append(), and the layout of the log's lower part, which
// the widget leaves to the event loop in steps and which is forced here.
//
//   bench_readext [RUNS]

#include "figures.h"
#include "hexdump.h"
#include "scramble.h"
#include "servicetools.h"
#include "simdevice.h"
#include "usbvr480.h"
#include "vr480_bootloader.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QPushButton>
#include <QRandomGenerator>
#include <QAbstractTextDocumentLayout>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

using namespace bench;

constexpr int kLength = 1048576;

// Milliseconds that `work` takes, median of `runs`.
double timed(int runs, const std::function<void()> &work)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    return median(ms);
}

// Answers the address dialog with 0 and the length dialog with 1 MiB, and
// starts `clock` as the length dialog is accepted.
void answerDialogs(QElapsedTimer &clock)
{
    QTimer::singleShot(0, [&clock] {
        auto *address = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
        if (!address)
            qFatal("no address dialog");
        address->setTextValue(QStringLiteral("0x0"));
        address->accept();
        QTimer::singleShot(0, [&clock] {
            auto *length = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
            if (!length)
                qFatal("no length dialog");
            length->setIntValue(kLength);
            clock.start();
            length->accept();
        });
    });
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;

    sim::reset();
    sim::setRecording(false);
    sim::DeviceConfig config;
    config.mode = sim::Mode::Bootloader;
    sim::Device &device = sim::addDevice(0, config);
    QByteArray plain(kLength, '\0');
    QRandomGenerator(1).fillRange(reinterpret_cast<quint32 *>(plain.data()), kLength / 4);
    QByteArray stored = plain;
    encodeData(stored.data(), kLength);
    device.setExternalFlash(0, stored);

    VR480_Bootloader window;
    window.show();
    auto *log = window.findChild<QTextBrowser *>(QStringLiteral("txt"));
    auto *button = window.findChild<QPushButton *>(QStringLiteral("pushButtonReadExternalFlash"));

    // The whole slot, from the accepted length dialog until it returns with
    // the dump in the log; then the layout it left to be done.
    std::vector<double> slot, layout;
    qsizetype logSize = 0;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        answerDialogs(clock);
        button->click();
        slot.push_back(clock.nsecsElapsed() / 1e6);
        logSize = log->toPlainText().size();
        clock.start();
        QTextDocument *document = log->document();
        document->documentLayout()->blockBoundingRect(document->lastBlock());
        layout.push_back(clock.nsecsElapsed() / 1e6);
    }

    // The same work in parts.
    USBVR480 usb;
    std::optional<QByteArray> read;
    const double transfers = timed(runs, [&] { read = ServiceTools::readExternalFlash(usb, 0, kLength); });
    if (!read || *read != plain) {
        std::fprintf(stderr, "the read-back differs from the flash\n");
        return 1;
    }
    QByteArray dump;
    const double hexDump = timed(runs, [&] { dump = HexDump(read->constData(), kLength); });
    QString text;
    const double latin1 = timed(runs, [&] { text = QString::fromLatin1(dump); });
    if (logSize != text.size()) {
        std::fprintf(stderr, "the log does not hold the dump\n");
        return 1;
    }
    const double appended = timed(runs, [&] {
        log->clear();
        log->append(text);
    });

    std::printf("ReadExternalFlash of %d bytes, simulated device without latency, median of %d\n", kLength,
                runs);
    const double whole = median(slot);
    std::printf("  accepted dialog to dump in the log: %8.1f ms (min %.1f, max %.1f)\n", whole,
                *std::min_element(slot.begin(), slot.end()), *std::max_element(slot.begin(), slot.end()));
    std::printf("    2048 transfers + unscramble:      %8.1f ms\n", transfers);
    std::printf("    HexDump (%lld bytes of text):  %8.1f ms\n", static_cast<long long>(dump.size()), hexDump);
    std::printf("    to QString:                       %8.1f ms\n", latin1);
    std::printf("    log widget (the rest):            %8.1f ms\n", whole - transfers - hexDump - latin1);
    std::printf("  for comparison, log clear + append: %8.1f ms\n", appended);
    std::printf("  layout left to the event loop:      %8.1f ms\n", median(layout));
    return 0;
}
