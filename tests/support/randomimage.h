#pragma once
// Upgrade images of reproducible random firmware, for the upgrade's tests and
// the benchmarks.

#include <QByteArray>
#include <QString>

// A whole upgrade image: random application and external-flash data from
// `seed`, zeros elsewhere, the application's brand halfword 0 (this
// program's devices take it) and both checksums filled in.
QByteArray randomUpgradeImage(quint32 seed);
// Writes `image` as an upgrade file at `path` and gives the path back; ends
// the program when the file cannot be written.
QString writeUpgradeFile(const QString &path, const QByteArray &image);

// The regions of an image, as the upgrade cuts them out.
QByteArray applicationOf(const QByteArray &image);
QByteArray externalOf(const QByteArray &image);
