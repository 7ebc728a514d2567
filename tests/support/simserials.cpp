// vr480_sim_serials STATE_FILE SERIAL...: a state file of one demo VR480 per
// serial (any bytes; its bootloader's serial the same with "b").
#include "simdevice.h"

#include <QFile>

int main(int argc, char **argv)
{
    sim::setupDemo(argc - 2);
    int at = 2;
    for (sim::Device *device : sim::devices()) {
        sim::DeviceConfig config = device->config();
        config.applicationSerial = argv[at++];
        config.bootloaderSerial = config.applicationSerial + 'b';
        device->setConfig(config);
    }
    return argc > 2 && sim::saveState(QFile::decodeName(argv[1])) ? 0 : 2;
}
