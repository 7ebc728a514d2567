#pragma once
// Test data.

#include <QByteArray>
#include <QString>

// `size` reproducible pseudo-random bytes.
QByteArray randomBytes(int size, quint32 seed);
// `plain` as the program scrambles it (encodeData), for comparing with what a
// device stores or receives.
QByteArray scrambledCopy(QByteArray plain);
// The path of the file `name` in tests/fixtures.
QString fixture(const char *name);
