#pragma once
// upgrade: one device as the window's "Change Firmware" upgrades it, or
// several devices at once.

#include "command.h"
#include "upgrader.h"

// How the last run of `upgrader` on `usb` ended: the status and, for a
// failure, the message.
Result upgradeMessage(const Upgrader &upgrader, const QString &upgFile, USBVR480 &usb);

// upgrade --all, or with several --serial: every device at once, each with
// its own outcome, and a summary.
Result upgradeSeveral(const Invocation &in, const QString &upgFile);
