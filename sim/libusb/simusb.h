#pragma once
// The libusb 0.1 stand-in over the simulated devices (simdevice.h).
//
// This library defines the libusb 0.1 functions that UsbDevice calls
// (usb_init, usb_find_busses, usb_find_devices, usb_get_busses, usb_open,
// usb_close, usb_set_configuration, usb_claim_interface,
// usb_release_interface, usb_control_msg, usb_bulk_write, usb_bulk_read,
// usb_get_descriptor), with the structures of the system's <usb.h>. Linking
// it instead of the real library puts the simulated devices on the "bus";
// the code above it runs unchanged.

#include "simdevice.h"

namespace sim {

// Handles from usb_open not yet given to usb_close (across reset()).
int openHandles();

} // namespace sim
