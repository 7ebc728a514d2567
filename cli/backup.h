#pragma once
// Keeping what a VR480 holds as an upgrade file: backup, and upgrade --backup.

#include "command.h"
#include "progress.h"
#include "usbvr480.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace cli {

// Reads what the device holds (the one `usb` connects to: its serial
// selected, or the one attached), restarts it into the firmware it ran, and
// keeps it in `fileName` as an upgrade file, as create-upg writes one but with
// the device's own checksum words: complete, renamed into place, then read
// back and compared before it counts as kept. A device whose checksum words do
// not match what it holds is kept all the same, and `progress` says so.
// Nothing when the file is kept; else the refusal, and no file.
std::optional<Result> takeBackup(USBVR480 &usb, const QString &fileName, Progress &progress);

// Refuses, before any device work, a backup target that cannot be one: for
// one device a file (checkOutput), for several an existing folder.
std::optional<Result> checkBackupTarget(const QString &target, const QString &upgFile, bool folder);

// The backup file of the device `serial` in `folder`: the serial as the
// name, any character that a file name may not carry safely written as %XX.
QString backupFileName(const QString &folder, const QByteArray &serial);

} // namespace cli
