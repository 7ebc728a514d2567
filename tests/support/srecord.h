#pragma once
// SRecord's srec_cat: an Intel HEX conversion independent of ours.

#include <QByteArray>
#include <QStringList>
#include <QtTest>

// SRecord is a Linux program: the Windows tests (run under Wine) skip the
// checks against it.
#ifdef Q_OS_WIN
#define SKIP_WITHOUT_SRECORD() QSKIP("compared with SRecord (srec_cat), which runs on Linux only")
#else
#define SKIP_WITHOUT_SRECORD() static_cast<void>(0)
#endif

// Runs srec_cat with `arguments`; a missing srec_cat or a failed run ends the
// test program.
void runSrecCat(const QStringList &arguments);
// The flat binary of the window first..last of an Intel HEX file, bytes the
// file does not give set to `fill`.
QByteArray srecordWindow(const QString &hexFile, quint32 first, quint32 last, int fill);
