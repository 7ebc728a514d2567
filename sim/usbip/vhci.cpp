#include "vhci.h"

#include "usbip.h"

#include <QFile>

#include <algorithm>

int Vhci::freePort(const std::vector<int> &taken) const
{
    QFile status(folder + QStringLiteral("/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    // "hub port sta spd dev sockfd local_busid", one line a port; state 4 is free.
    while (!status.atEnd()) {
        const QList<QByteArray> f = status.readLine().simplified().split(' ');
        if (f.size() < 3 || f[0] != "hs" || f[2].toInt() != 4)
            continue;
        const int port = f[1].toInt();
        if (std::find(taken.begin(), taken.end(), port) == taken.end())
            return port;
    }
    return -1;
}

bool Vhci::attach(int port, int kernelFd, uint32_t devid) const
{
    // The kernel reads "port sockfd devid speed", in that order.
    return write(QStringLiteral("attach"), QByteArray::number(port) + ' ' + QByteArray::number(kernelFd) + ' '
                                               + QByteArray::number(devid) + ' '
                                               + QByteArray::number(usbip::kSpeedHigh));
}

bool Vhci::detach(int port) const
{
    return write(QStringLiteral("detach"), QByteArray::number(port));
}

bool Vhci::write(const QString &name, const QByteArray &line) const
{
    QFile file(folder + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(line) != line.size()) {
        qWarning("%s: cannot write \"%s\": %s", qPrintable(file.fileName()), line.constData(),
                 qPrintable(file.errorString()));
        return false;
    }
    return true;
}
