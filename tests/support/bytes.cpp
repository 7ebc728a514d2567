#include "bytes.h"

#include "scramble.h"

#include <QRandomGenerator>

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

QString fixture(const char *name)
{
    return QStringLiteral(VR480_FIXTURES "/") + QLatin1String(name);
}
