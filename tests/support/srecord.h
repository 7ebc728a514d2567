#pragma once
// SRecord's srec_cat: an Intel HEX conversion independent of ours.

#include "system.h"

#include <QByteArray>
#include <QStringList>

// SRecord is a Linux program: the Windows tests (run under Wine) skip the
// checks against it.
#define SKIP_WITHOUT_SRECORD() SKIP_ON_WINDOWS("compared with SRecord (srec_cat), which runs on Linux only")

// Runs srec_cat with `arguments`; a missing srec_cat or a failed run ends the
// test program.
void runSrecCat(const QStringList &arguments);
// The flat binary of the window first..last of an Intel HEX file, bytes the
// file does not give set to `fill`.
QByteArray srecordWindow(const QString &hexFile, quint32 first, quint32 last, int fill);
