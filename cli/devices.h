#pragma once
// Which VR480 a device command works on: the command line never guesses
// which of several attached devices is meant.

#include "command.h"
#include "usbvr480.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace cli {

// "application", "bootloader" or "unknown".
QString modeName(USBVR480::Firmware firmware);

// A device as list --json and info --json give it, on one line: bus, device,
// serial (as the device gives it now), mode and bootloader (null where
// unknown).
QByteArray deviceJson(const UsbDevice::Place &place, const QByteArray &serial,
                      const std::optional<QString> &bootloaderVersion);

// The serials of the --serial options, without the bootloader's "b"; a
// usage error when one is empty or given twice.
std::optional<Result> wantedSerials(const Invocation &in, QList<QByteArray> *serials);

// The serials of the devices to work on: those of the --serial options, or
// with `all` those of every attached VR480, each checked to be attached
// exactly once. Without either, nothing when at most one VR480 is attached
// (it is taken as the first acceptable device). A refusal otherwise: wrong
// options, a serial not attached (or none attached with `all`), several
// attached without --serial, two devices with one serial; those about the
// attached devices list them.
std::optional<Result> chooseDevices(const Invocation &in, bool all, QList<QByteArray> *serials);

// For a command on one device: its --serial (at most one) chosen as above
// and selected on `usb`.
std::optional<Result> selectDevice(const Invocation &in, USBVR480 &usb);

} // namespace cli
