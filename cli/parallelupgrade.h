#pragma once
// The upgrade of several devices at once.

#include "command.h"
#include "unitreport.h"

#include <QByteArray>
#include <QString>

namespace cli {

// upgrade --all, or with several --serial: every device at once, each with
// its own outcome, and a summary. `image` is the file's plain image, read and
// checked once; every device gets the same. Each device's record goes to
// `report` as soon as its run ends.
Result upgradeSeveral(const Invocation &in, const UpgradeFileId &file, const QByteArray &image, UnitReport &report);

} // namespace cli
