#pragma once
// The USB/IP wire format spoken between the Linux kernel's virtual host
// controller (vhci_hcd) and the device behind it: 48-byte headers of
// big-endian words; a CMD_SUBMIT of an OUT transfer is followed by its data,
// a RET_SUBMIT of an IN transfer by the bytes that came back.

#include "simdevice.h"

#include <QByteArray>

#include <cstdint>

namespace usbip {

constexpr int kHeaderSize = 48;

enum Command : uint32_t { CmdSubmit = 1, CmdUnlink = 2, RetSubmit = 3, RetUnlink = 4 };
enum Direction : uint32_t { DirOut = 0, DirIn = 1 };

// vhci_hcd's attach file takes a speed from enum usb_device_speed.
constexpr int kSpeedHigh = 3;

struct Header {
    uint32_t command = 0;
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    uint32_t direction = 0;
    uint32_t ep = 0;
    // CMD_SUBMIT: transfer_flags, transfer_buffer_length, start_frame, number_of_packets, interval
    // RET_SUBMIT: status, actual_length, start_frame, number_of_packets, error_count
    // CMD_UNLINK: the seqnum of the URB to unlink; RET_UNLINK: status
    int32_t word[5] = {};
    uint8_t setup[8] = {}; // CMD_SUBMIT: the setup packet as it goes on the bus (little-endian)
};

// The setup packet of a control transfer, as the simulated devices take it.
using sim::Setup;

QByteArray encode(const Header &header); // kHeaderSize bytes
Header decode(const char *bytes);        // from kHeaderSize bytes

Setup setupOf(const Header &submit);
void setSetup(Header &submit, const Setup &setup);

// The answer to a CMD_SUBMIT: the header, then for an IN transfer the data.
// `actualLength` is the byte count of an OUT transfer (an IN transfer's is
// the size of its data).
QByteArray submitReply(const Header &submit, int status, int actualLength, const QByteArray &inData = {});
// The answer to a CMD_UNLINK: status -ECONNRESET when the URB was still
// waiting and is now given up, 0 when it had already been answered.
QByteArray unlinkReply(const Header &unlink, int status);

} // namespace usbip
