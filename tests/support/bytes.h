#pragma once
// Test data.

#include <QByteArray>

// `size` reproducible pseudo-random bytes.
QByteArray randomBytes(int size, quint32 seed);
// `plain` as the program scrambles it (encodeData), for comparing with what a
// device stores or receives.
QByteArray scrambledCopy(QByteArray plain);
