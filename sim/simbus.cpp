#include "sim/registry.h"

#include <QMutexLocker>

#include <algorithm>
#include <cerrno>

namespace sim {

// --- What the libusb functions ask of the model -----------------------------

namespace bus {

int findBusses()
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    for (size_t b = 0; b < r.buses.size(); ++b) {
        r.buses[b]->prev = b > 0 ? r.buses[b - 1].get() : nullptr;
        r.buses[b]->next = b + 1 < r.buses.size() ? r.buses[b + 1].get() : nullptr;
    }
    usb_busses = r.buses.empty() ? nullptr : r.buses.front().get();
    const int added = int(r.buses.size()) - r.linkedBuses;
    r.linkedBuses = int(r.buses.size());
    return added;
}

usb_bus *busses()
{
    QMutexLocker lock(&registry().mutex);
    return usb_busses;
}

int findDevices()
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Event e;
    e.kind = Event::FindDevices;
    e.result = r.scan();
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
    // Found by address only: a record from before reset() is never dereferenced.
    const auto it = std::find_if(r.models.begin(), r.models.end(),
                                 [record](const auto &m) { return m->record.get() == record; });
    if (it != r.models.end()) {
        Model &m = **it;
        e.device = m.id;
        if (m.onBus() && !m.config.failOpen) {
            handle = new usb_dev_handle;
            handle->epoch = r.epoch;
            handle->device = m.id;
            handle->session = m.session;
            ++r.handles;
            e.result = 0;
        }
    }
    r.log(e);
    return handle;
}

int close(usb_dev_handle *handle)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Event e;
    e.kind = Event::Close;
    e.device = r.deviceOf(handle);
    e.result = handle ? 0 : -EINVAL;
    r.log(e);
    if (handle) {
        delete handle;
        --r.handles;
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
    e.device = r.deviceOf(handle);
    e.value = value;
    if (!handle)
        e.result = -EINVAL;
    else if (Model *m = r.live(handle))
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
    e.device = r.deviceOf(handle);
    e.requestType = setup.requestType;
    e.request = setup.request;
    e.value = setup.value;
    e.index = setup.index;
    e.length = setup.length;
    e.transfer = r.transfers++;
    if (!handle || setup.length < 0 || setup.length > 0xFFFF || (setup.length > 0 && !data))
        e.result = -EINVAL;
    else if (Model *m = r.live(handle)) {
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
    e.device = r.deviceOf(handle);
    e.value = endpoint;
    e.length = size;
    if (!handle)
        e.result = -EINVAL;
    else
        e.result = r.live(handle) ? -EPIPE : -ENODEV; // the device has no bulk endpoints
    r.log(e);
    return e.result;
}

} // namespace bus

} // namespace sim
