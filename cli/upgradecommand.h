#pragma once
// upgrade: one device as the window's "Change Firmware" upgrades it, or
// several devices at once.

#include "command.h"
#include "unitreport.h"
#include "upgrader.h"

namespace cli {

// The upgrade file read once (a pipe works) and checked, its checksums too
// with `checksumCheck`, before any device is chosen, so that a damaged file
// never reaches one: its plain image, and its name and hash for the records;
// or the refusal.
std::optional<Result> readUpgradeFile(const QString &upgFile, bool checksumCheck, Upgrader::Job job,
                                      QByteArray *image, UpgradeFileId *id);

// upgrade FILE.upg and verify FILE.upg: one device, or several at once.
Result runOnFile(Invocation &in, Upgrader::Job job);

} // namespace cli
