#include "capture.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSignalSpy>

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

QList<int> values(const QSignalSpy &spy)
{
    QList<int> out;
    for (const QList<QVariant> &arguments : spy)
        out << arguments.at(0).toInt();
    return out;
}

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
