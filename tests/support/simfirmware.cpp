#include "simfirmware.h"

#include "bytes.h"
#include "memorymap.h"
#include "randomimage.h"

sim::Device &deviceHolding(const QByteArray &image, sim::DeviceConfig config)
{
    sim::Device &device = sim::addDevice(0, config);
    device.setFlash(MemoryMap::kApplicationAddress, applicationOf(image));
    device.setExternalFlash(0, scrambledCopy(externalOf(image)));
    return device;
}

bool holds(const sim::Device &device, const QByteArray &image)
{
    return applicationIn(device) == applicationOf(image)
        && device.externalFlash(0, int(MemoryMap::kExternalDataSize)) == scrambledCopy(externalOf(image));
}

QByteArray applicationIn(const sim::Device &device)
{
    return device.flash(MemoryMap::kApplicationAddress, int(MemoryMap::kApplicationSize));
}
