#pragma once

// A libusb-1.0 error code as the negative errno value that libusb 0.1 on
// Linux returns for the same failure (-EIO for any it has no counterpart of).
int usbErrno(int libusbError);
// The same for libusb_set_configuration(), whose NOT_SUPPORTED (WinUSB: a
// configuration other than the active one) says nothing of the device's
// driver: -EIO.
int configurationErrno(int libusbError);
