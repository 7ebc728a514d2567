#pragma once
// The simulated devices' events in short form, for comparing sequences.

#include "simdevice.h"

#include <QStringList>

// "scan", "open" (or "open failed"), "config 1", "claim 0", "release 0",
// "close", "bulk", and control transfers as "c0:ff" (request type and request
// in hexadecimal).
QStringList trail(const QList<sim::Event> &events);
// The same, without the bus scans.
QStringList deviceTrail(const QList<sim::Event> &events);
// How many vendor control transfers of `request` the events hold (the
// standard requests left out).
int requestCount(const QList<sim::Event> &events, int request);
