#pragma once
// The VR480's memory map, as the bootloader, the firmware images and the
// device commands share it. Internal flash is addressed from 0x08000000; the
// external flash has its own address space from 0. In the bootloader image
// and the upgrade image, image offset o is internal-flash address
// kFlashBase + o.

#include <QtGlobal>

namespace MemoryMap {

// Internal flash: 256 KiB written in pages of 2048 bytes.
constexpr quint32 kFlashBase = 0x08000000;
constexpr quint32 kFlashSize = 0x40000;
constexpr quint32 kPageSize = 2048;

// The bootloader: 0x08000000-0x08003FFF. The device never lets it be written.
constexpr quint32 kBootloaderAddress = kFlashBase;
constexpr quint32 kBootloaderSize = 0x4000;

// The information block near the end of the bootloader: the brand halfword
// (16-bit little-endian, 0 for this program's devices) at its start and the
// bootloader's version text (up to its first zero byte) in its second half.
constexpr quint32 kInfoBlockAddress = 0x08003FD0;
constexpr quint32 kInfoBlockSize = 32;
constexpr quint32 kVersionOffset = 16; // in the block
constexpr quint32 kVersionSize = 16;
constexpr quint32 kBootloaderBrandAddress = kInfoBlockAddress;

// The production serial of a bootloader image: nine ASCII digits, no terminator.
constexpr quint32 kSerialAddress = 0x08003FF0;
constexpr int kSerialLength = 9;

// The application: the rest of internal flash, 0x08004000-0x0803FFFF, with
// its own brand halfword, and a checksum in its last word.
constexpr quint32 kApplicationAddress = kBootloaderAddress + kBootloaderSize;
constexpr quint32 kApplicationSize = kFlashBase + kFlashSize - kApplicationAddress;
constexpr quint32 kApplicationBrandAddress = 0x0803FFD0;

// External-flash data of a release: linked at 0x08040000-0x0805BFFF in the
// firmware build, right after the application, and written at external-flash
// address 0, with a checksum in its last word.
constexpr quint32 kExternalLinkAddress = kFlashBase + kFlashSize;
constexpr quint32 kExternalDataSize = 0x1C000;
// The external flash itself: 2 MiB.
constexpr quint32 kExternalFlashSize = 0x200000;

// Offset of an internal-flash address in an image that starts at kFlashBase.
constexpr int imageOffset(quint32 address)
{
    return int(address - kFlashBase);
}

static_assert(kApplicationAddress == 0x08004000 && kApplicationSize == 0x3C000);
static_assert(kExternalLinkAddress == 0x08040000);
static_assert(kApplicationAddress % kPageSize == 0 && kApplicationSize % kPageSize == 0);

} // namespace MemoryMap
