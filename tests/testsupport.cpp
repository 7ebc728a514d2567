#include "testsupport.h"

#include "image/scramble.h"

#include <QApplication>
#include <QDialog>
#include <QMutex>
#include <QWidget>
#include <QMutexLocker>
#include <QSignalSpy>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {
QMutex captureMutex;
QStringList captured;
QtMessageHandler previousHandler = nullptr;
bool verbose = false;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        QMutexLocker lock(&captureMutex);
        captured.append(message);
    }
    if ((verbose || type != QtDebugMsg) && previousHandler)
        previousHandler(type, context, message);
}
} // namespace

DebugCapture::DebugCapture()
{
    verbose = qEnvironmentVariableIsSet("VR480_TEST_VERBOSE");
    clear();
    previousHandler = qInstallMessageHandler(captureHandler);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(previousHandler);
}

QStringList DebugCapture::lines() const
{
    QMutexLocker lock(&captureMutex);
    return captured;
}

int DebugCapture::count(const QString &line) const
{
    QMutexLocker lock(&captureMutex);
    return int(captured.count(line));
}

void DebugCapture::clear()
{
    QMutexLocker lock(&captureMutex);
    captured.clear();
}

QStringList trail(const QList<sim::Event> &events)
{
    QStringList out;
    for (const sim::Event &e : events) {
        switch (e.kind) {
        case sim::Event::FindDevices: out << QStringLiteral("scan"); break;
        case sim::Event::Open: out << (e.result < 0 ? QStringLiteral("open failed") : QStringLiteral("open")); break;
        case sim::Event::SetConfiguration: out << QStringLiteral("config %1").arg(e.value); break;
        case sim::Event::ClaimInterface: out << QStringLiteral("claim %1").arg(e.value); break;
        case sim::Event::ReleaseInterface: out << QStringLiteral("release %1").arg(e.value); break;
        case sim::Event::Close: out << QStringLiteral("close"); break;
        case sim::Event::Bulk: out << QStringLiteral("bulk"); break;
        case sim::Event::Control:
            out << QStringLiteral("%1:%2").arg(e.requestType, 2, 16, QLatin1Char('0')).arg(e.request, 2, 16, QLatin1Char('0'));
            break;
        }
    }
    return out;
}

QStringList deviceTrail(const QList<sim::Event> &events)
{
    QStringList out = trail(events);
    out.removeAll(QStringLiteral("scan"));
    return out;
}

DialogScript::DialogScript(QList<Step> steps) : steps(std::move(steps))
{
    connect(&timer, &QTimer::timeout, this, &DialogScript::poll);
    timer.start(5);
}

void DialogScript::poll()
{
    QWidget *dialog = QApplication::activeModalWidget();
    // A dialog already answered may still be closing; a property marks it.
    if (!dialog || dialog->property("scripted").toBool())
        return;
    dialog->setProperty("scripted", true);
    if (steps.isEmpty())
        extra << dialog->windowTitle();
    else
        steps.takeFirst()(dialog);
    // A step whose checks failed returns early: close its dialog all the same.
    if (auto *open = qobject_cast<QDialog *>(dialog); open && open->isVisible())
        open->reject();
}

QList<int> values(const QSignalSpy &spy)
{
    QList<int> out;
    for (const QList<QVariant> &arguments : spy)
        out << arguments.at(0).toInt();
    return out;
}

void runSrecCat(const QStringList &arguments)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("srec_cat"));
    if (program.isEmpty())
        qFatal("srec_cat not found: install the Debian package srecord");
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        qFatal("srec_cat %s failed: %s", qPrintable(arguments.join(QLatin1Char(' '))),
               process.readAllStandardError().constData());
}

QByteArray srecordWindow(const QString &hexFile, quint32 first, quint32 last, int fill)
{
    QTemporaryDir dir;
    const QString bin = dir.filePath(QStringLiteral("window.bin"));
    const QString start = QString::number(first);
    const QString size = QString::number(quint64(last) + 1 - first);
    runSrecCat({hexFile, QStringLiteral("-intel"), QStringLiteral("-crop"), start,
                QString::number(quint64(last) + 1), QStringLiteral("-offset"), QStringLiteral("-") + start,
                QStringLiteral("-fill"), QString::number(fill), QStringLiteral("0"), size,
                QStringLiteral("-o"), bin, QStringLiteral("-binary")});
    QFile file(bin);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator random(seed);
    for (char &byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

QByteArray scrambledCopy(QByteArray plain)
{
    encodeData(plain.data(), int(plain.size()));
    return plain;
}
