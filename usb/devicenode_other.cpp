#include "devicenode.h"

#include <cerrno>

namespace usb {

// Systems without a file of their own: the errno values alone tell a refused
// device, and there is no list of device nodes to look in.

Refusal refusalOf(int error)
{
    if (error == ENOSYS)
        return Refusal::NotBound;
    return error == EACCES || error == EPERM ? Refusal::NoPermission : Refusal::None;
}

int openableWithinMs()
{
    return 5000;
}

DeniedDevice deniedDeviceNode(quint16, quint16)
{
    return {};
}

} // namespace usb
