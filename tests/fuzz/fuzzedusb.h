#pragma once
// A libusb 0.1 whose every answer comes from the fuzzer's input: the devices
// on the bus and their descriptors, each open, configuration and claim, the
// result, length and bytes of every control transfer and the serial's string
// descriptor. Once the input is used up, every call fails, so the work of one
// input is bounded.
//
// It also checks what the layers above send, and aborts when they send a page
// or external-flash write (requests 3 and 6) to a handle that has not answered
// the family and brand requests with the VR480's identifiers, or whose last
// serial is not a bootloader's (the followed device's, when one is followed);
// when a reading command sends anything to a device; when a transfer has no
// time-out; and when a device is still open at the end of a session.

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace fuzzusb {

// The choices behind the answers, read in order from the fuzzer's input. A
// recording script reads no input: each choice is a sound device's, and is
// recorded, so that the recording replays a correct exchange.
class Script {
public:
    Script(const uint8_t *data, size_t size) : data(data), size(size) {}
    Script() : recording(true) {}

    // The next choice; `sound` is a sound device's. Nothing once the input is
    // used up.
    std::optional<uint8_t> next(uint8_t sound = 0);
    // The next `sound.size()` bytes, all or nothing.
    std::optional<QByteArray> take(const QByteArray &sound);
    const QByteArray &recorded() const { return record; }

private:
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t at = 0;
    const bool recording = false;
    QByteArray record;
};

// A session: a new bus whose devices run their application, with erased
// memories, answering from `script` until end(), which aborts if a device is
// still open.
void begin(Script &script);
void end();
// While on, any request sent to a device (an OUT transfer) aborts: list and
// info only read.
void setReadOnly(bool on);
// From now on, pages and external flash may only be written to the bootloader
// of the device whose application serial is `serial` (9 characters).
void follow(const QByteArray &serial);

} // namespace fuzzusb
