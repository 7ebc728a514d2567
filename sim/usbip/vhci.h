#pragma once
// The Linux kernel's USB/IP virtual host controller (module vhci-hcd), through
// the files of its platform device: a device goes on one of its ports with one
// end of a connected stream socket, over which the kernel then speaks USB/IP.

#include <QString>

#include <cstdint>
#include <vector>

class Vhci {
public:
    explicit Vhci(const QString &dir) : folder(dir) {}

    // A free high-speed port, not one of `taken`; -1 when there is none.
    int freePort(const std::vector<int> &taken) const;
    // The kernel takes its own reference to the socket: the caller may close
    // `kernelFd` afterwards. `devid` comes back in the kernel's commands.
    bool attach(int port, int kernelFd, uint32_t devid) const;
    bool detach(int port) const;

private:
    bool write(const QString &name, const QByteArray &line) const;

    QString folder;
};
