#include "srecord.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

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
