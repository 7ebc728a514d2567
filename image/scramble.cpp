#include "scramble.h"

#include "scramble_key.h"

#include <QDebug>
#include <QtEndian>

namespace {
QString addressText(const void *address)
{
    return QStringLiteral("0x%1").arg(quintptr(address), 8, 16, QLatin1Char('0'));
}
} // namespace

int encodeData(char *buffer, int length)
{
    const int count = length >> 2;
    qDebug().noquote() << "Encoding started @" << addressText(buffer);
    for (int i = 0; i < count; ++i) {
        char *word = buffer + 4 * i;
        const quint32 k = vr480::kScrambleKey[i % 32];
        qToLittleEndian<quint32>((qFromLittleEndian<quint32>(word) ^ k) + k, word);
    }
    qDebug().noquote() << "Encoding end @" << addressText(buffer + 4 * qMax(count, 0));
    return 0;
}

int decodeData(char *buffer, int length)
{
    const int count = length >> 2;
    for (int i = 0; i < count; ++i) {
        char *word = buffer + 4 * i;
        const quint32 k = vr480::kScrambleKey[i % 32];
        qToLittleEndian<quint32>((qFromLittleEndian<quint32>(word) - k) ^ k, word);
    }
    return 0;
}
