#pragma once
// upgrade: one device as the window's "Change Firmware" upgrades it, or
// several devices at once.

#include "command.h"
#include "unitreport.h"
#include "upgrader.h"

#include <functional>

namespace cli {

// The upgrade file read once (a pipe works) and checked, its checksums too
// with `checksumCheck`, before any device is chosen, so that a damaged file
// never reaches one: its plain image, and its name and hash for the records;
// or the refusal.
std::optional<Result> readUpgradeFile(const QString &upgFile, bool checksumCheck, QByteArray *image,
                                      UpgradeFileId *id);

// A worker as the command line runs it, on `image`: it follows its device by
// its serial; an upgrade succeeds only once the new application runs, and
// restarts a device that it restarted for nothing back into its application.
void prepareUpgrader(Upgrader &upgrader, const QByteArray &image, Upgrader::Job job = Upgrader::Job::Write);

// upgrade FILE.upg and verify FILE.upg: one device, or several at once.
Result runOnFile(Invocation &in, Upgrader::Job job);

// Connects a worker to a command-line display: its log lines, and each
// progress bar by its label.
void showProgress(Upgrader &upgrader, const std::function<void(const QString &)> &line,
                  const std::function<void(const QString &label, int percent)> &update);

} // namespace cli
