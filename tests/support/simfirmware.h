#pragma once
// Simulated VR480s holding the firmware of an upgrade image.

#include "memorymap.h"
#include "simdevice.h"

#include <QByteArray>

// A whole upgrade's transfers: 120 application pages, then the external-flash
// data in writes of 256 bytes and reads of 512.
constexpr int kPages = 120;
constexpr int kExternalWrites = int(MemoryMap::kExternalDataSize) / 256;
constexpr int kExternalReads = int(MemoryMap::kExternalDataSize) / 512;

// A VR480 added to the simulated bus holding the application of `image` and
// its external-flash data, the latter scrambled, as an upgrade stores it.
sim::Device &deviceHolding(const QByteArray &image, sim::DeviceConfig config = {});
// True when `device` holds the firmware of `image` so.
bool holds(const sim::Device &device, const QByteArray &image);
// The application in the internal flash of `device`.
QByteArray applicationIn(const sim::Device &device);
