#include "simbus.h"
#include "simusb.h"

#include "registry.h"

#include <QMutexLocker>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace sim {

namespace {

// The library's record of a device, as libusb 0.1 keeps it: made by the scan
// that first lists the device, and freed by the scan that no longer finds it
// or finds it back from a stay off the bus (with a new address). Listed on
// its bus while it exists.
struct DeviceRecord {
    std::unique_ptr<struct usb_device> record;
    int session = -1; // the device's bus session the record was made in
};

// What the stand-in keeps, under the simulation's lock. Records of an older
// epoch (before reset()) are dropped at the next call.
struct Records {
    uint64_t epoch = 0;
    std::vector<std::unique_ptr<usb_bus>> buses; // index = bus number
    std::vector<DeviceRecord> devices;           // index = device id
    int linkedBuses = 0;
    int handles = 0; // across reset()

    static Records &instance()
    {
        static Records records;
        return records;
    }

    // Up to date with the model's epoch and buses; the lock is held.
    Records &sync(const Registry &r)
    {
        if (epoch != r.epoch) {
            epoch = r.epoch;
            usb_busses = nullptr;
            devices.clear();
            buses.clear();
            linkedBuses = 0;
        }
        while (buses.size() < size_t(r.busCount())) {
            auto bus = std::make_unique<usb_bus>();
            std::snprintf(bus->dirname, sizeof bus->dirname, "%03d", int(buses.size()) + 1);
            bus->location = uint32_t(buses.size()) + 1;
            buses.push_back(std::move(bus));
        }
        devices.resize(r.models.size());
        return *this;
    }
};

Records &records(const Registry &r)
{
    return Records::instance().sync(r);
}

void fillDescriptor(struct usb_device &record, const DeviceConfig &config)
{
    usb_device_descriptor &d = record.descriptor;
    d.bLength = 18;
    d.bDescriptorType = 1;
    d.bcdUSB = 0x0200;
    d.bMaxPacketSize0 = 64;
    d.idVendor = config.vendorId;
    d.idProduct = config.productId;
    d.bcdDevice = 0x0100;
    // The model's only string is the serial: no manufacturer or product
    // string is announced that it would not give (a kernel asks for them).
    d.iManufacturer = 0;
    d.iProduct = 0;
    d.iSerialNumber = kSerialStringIndex;
    d.bNumConfigurations = 1;
}

int deviceOf(const Registry &r, const usb_dev_handle *handle)
{
    return handle && handle->epoch == r.epoch ? handle->device : -1;
}

// The device behind a handle while the bus session it was opened in lasts.
Model *live(Registry &r, const usb_dev_handle *handle)
{
    return r.live(handle->epoch, handle->device, handle->session);
}

} // namespace

int openHandles()
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    return Records::instance().handles;
}

// --- What the libusb functions ask of the model -----------------------------

namespace bus {

int findBusses()
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Records &k = records(r);
    for (size_t b = 0; b < k.buses.size(); ++b) {
        k.buses[b]->prev = b > 0 ? k.buses[b - 1].get() : nullptr;
        k.buses[b]->next = b + 1 < k.buses.size() ? k.buses[b + 1].get() : nullptr;
    }
    usb_busses = k.buses.empty() ? nullptr : k.buses.front().get();
    const int added = int(k.buses.size()) - k.linkedBuses;
    k.linkedBuses = int(k.buses.size());
    return added;
}

usb_bus *busses()
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    records(r);
    return usb_busses;
}

// One bus scan: the model's, then the records made, freed and relinked.
int findDevices()
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Records &k = records(r);
    const std::vector<bool> listed = r.scan();
    int changes = 0;
    for (const auto &pointer : r.models) {
        const Model &m = *pointer;
        DeviceRecord &d = k.devices[size_t(m.id)];
        if (d.record && (!listed[size_t(m.id)] || d.session != m.session || d.record->devnum != m.address)) {
            d.record.reset();
            ++changes;
        }
        if (!listed[size_t(m.id)])
            continue;
        if (!d.record) {
            ++changes;
            d.record = std::make_unique<struct usb_device>();
            d.session = m.session;
            d.record->bus = k.buses[size_t(m.bus)].get();
            d.record->devnum = uint8_t(m.address);
            std::snprintf(d.record->filename, sizeof d.record->filename, "%03d", int(d.record->devnum));
        }
        fillDescriptor(*d.record, m.config);
    }
    for (size_t b = 0; b < k.buses.size(); ++b) {
        struct usb_device *previous = nullptr;
        k.buses[b]->devices = nullptr;
        for (const auto &pointer : r.models) {
            struct usb_device *record = k.devices[size_t(pointer->id)].record.get();
            if (pointer->bus != int(b) || !record)
                continue;
            record->prev = previous;
            record->next = nullptr;
            if (previous)
                previous->next = record;
            else
                k.buses[b]->devices = record;
            previous = record;
        }
    }
    ++r.enumerations;
    Event e;
    e.kind = Event::FindDevices;
    e.result = changes;
    r.log(e);
    return e.result;
}

usb_dev_handle *open(struct usb_device *record)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Event e;
    e.kind = Event::Open;
    e.result = -1;
    usb_dev_handle *handle = nullptr;
    Records &k = records(r);
    // Found by address only: a record from before reset() is never dereferenced.
    const auto it = std::find_if(k.devices.begin(), k.devices.end(),
                                 [record](const DeviceRecord &d) { return d.record.get() == record; });
    if (it != k.devices.end()) {
        Model &m = r.model(int(it - k.devices.begin()));
        e.device = m.id;
        e.value = m.onBus() ? r.openRefusal(m) : 0;
        if (m.onBus() && !m.config.failOpen && e.value == 0) {
            handle = new usb_dev_handle;
            handle->epoch = r.epoch;
            handle->device = m.id;
            handle->session = m.session;
            ++k.handles;
            ++m.openHandles;
            e.result = 0;
        }
    }
    r.log(e);
    if (e.value != 0)
        errno = e.value;
    return handle;
}

int close(usb_dev_handle *handle)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Event e;
    e.kind = Event::Close;
    e.device = deviceOf(r, handle);
    e.result = handle ? 0 : -EINVAL;
    r.log(e);
    if (handle) {
        if (Model *m = live(r, handle))
            --m->openHandles;
        delete handle;
        --Records::instance().handles;
    }
    return e.result;
}

namespace {
// The common frame of the three handle calls: checks, the call's own rule, the event.
template<typename Rule>
int handleCall(Event::Kind kind, usb_dev_handle *handle, int value, Rule rule)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Event e;
    e.kind = kind;
    e.device = deviceOf(r, handle);
    e.value = value;
    if (!handle)
        e.result = -EINVAL;
    else if (Model *m = live(r, handle))
        e.result = rule(*m, *handle);
    else
        e.result = -ENODEV;
    r.log(e);
    return e.result;
}
} // namespace

int setConfiguration(usb_dev_handle *handle, int configuration)
{
    return handleCall(Event::SetConfiguration, handle, configuration, [configuration](Model &m, usb_dev_handle &) {
        if (m.config.denyAccess) // the node was opened for reading only
            return -EPERM;
        if (configuration != 1)
            return -EINVAL;
        return m.config.failSetConfiguration ? -EPIPE : 0;
    });
}

int claimInterface(usb_dev_handle *handle, int interface)
{
    return handleCall(Event::ClaimInterface, handle, interface, [interface](Model &m, usb_dev_handle &h) {
        if (interface != 0)
            return -EINVAL;
        if (m.config.failClaim)
            return -EBUSY;
        h.claimed = true;
        return 0;
    });
}

int releaseInterface(usb_dev_handle *handle, int interface)
{
    return handleCall(Event::ReleaseInterface, handle, interface, [interface](Model &, usb_dev_handle &h) {
        if (interface != 0 || !h.claimed)
            return -EINVAL;
        h.claimed = false;
        return 0;
    });
}

int control(usb_dev_handle *handle, const Setup &setup, char *data, Clock::time_point *done)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    const std::chrono::microseconds latency(r.latencyUs);
    *done = Clock::now() + latency;
    Event e;
    e.kind = Event::Control;
    e.device = deviceOf(r, handle);
    e.requestType = setup.requestType;
    e.request = setup.request;
    e.value = setup.value;
    e.index = setup.index;
    e.length = setup.length;
    e.transfer = r.transfers++;
    if (!handle || setup.length < 0 || setup.length > 0xFFFF || (setup.length > 0 && !data))
        e.result = -EINVAL;
    else if (Model *m = live(r, handle)) {
        e.result = r.transfer(*m, e.transfer, setup, data);
        *done = r.busyFor(*m, latency);
    } else {
        e.result = -ENODEV;
    }
    if (e.result > 0 && r.recording)
        e.data = QByteArray(data, e.result);
    r.log(e);
    return e.result;
}

int bulk(usb_dev_handle *handle, int endpoint, int size)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Event e;
    e.kind = Event::Bulk;
    e.device = deviceOf(r, handle);
    e.value = endpoint;
    e.length = size;
    if (!handle)
        e.result = -EINVAL;
    else
        e.result = live(r, handle) ? -EPIPE : -ENODEV; // the device has no bulk endpoints
    r.log(e);
    return e.result;
}

} // namespace bus

} // namespace sim
