#pragma once
// station: every VR480 upgraded as it is plugged in, while the others run.

#include "command.h"
#include "devicenode.h"
#include "unitreport.h"
#include "upgrader.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdio>
#include <functional>

namespace cli {

struct StationPlan {
    UpgradeFileId file;        // its name and hash, for the records
    QByteArray image;          // the file's plain image, read and checked once
    QList<QByteArray> serials; // serials without the bootloader's "b"; empty: any VR480
    int count = 0;             // units after which the station ends; 0: no end but a stop
    int pollMs = 300;          // between two scans of the bus
    std::FILE *stream = stdout;
    bool terminal = false;
    // Stop requests so far: after one no device is taken and the station
    // ends once the running upgrades end; after two those are stopped too.
    std::function<int()> stops;
    int openableWithinMs = usb::openableWithinMs(); // how long a VR480 that cannot be opened yet is waited for
    Upgrader::Job job = Upgrader::Job::Write; // Verify: each unit is read and compared, never written
};

// Watches the bus and upgrades each VR480 that arrives on a worker of its
// own. A device is one unit from its arrival to the end of its upgrade,
// whatever its restarts meanwhile; once its upgrade ended, it is taken again
// only after it has left the bus (unplugged) and come back. Each unit ends
// with a line (serial, seconds, outcome), the station with the count of
// units upgraded and failed. Each unit's record goes to `report` as soon as it
// ends; once one could not be written, no device is taken.
Result runStation(const StationPlan &plan, UnitReport &report);

QList<Command> stationCommands(); // station

} // namespace cli
