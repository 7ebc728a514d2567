#pragma once
// The upgrade of several devices at once.

#include "command.h"

#include <QByteArray>
#include <QString>

namespace cli {

// upgrade --all, or with several --serial: every device at once, each with
// its own outcome, and a summary. `image` is the file's plain image, read and
// checked once; every device gets the same.
Result upgradeSeveral(const Invocation &in, const QString &upgFile, const QByteArray &image);

} // namespace cli
