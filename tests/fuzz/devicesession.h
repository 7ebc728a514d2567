#pragma once
// One session of the device fuzzer on the bus of fuzzedusb.h: the layers above
// libusb 0.1 as the programs drive them, unchanged. The script's first choice
// picks what runs: list and info as vr480-cli runs them (text or JSON, info
// with or without --serial), then a whole upgrade by the worker, with its
// pauses made instant, following a serial or not, with the start check or
// not. A recording script gives a correct exchange, which runs them all.

#include "fuzzedusb.h"
#include "upgrader.h"

Upgrader::Outcome runDeviceSession(fuzzusb::Script &script);
