// station: the command, its options and its help.

#include "station.h"

#include "devices.h"
#include "interrupt.h"
#include "upgradecommand.h"

namespace cli {

namespace {

Result station(Invocation &in)
{
    StationPlan plan;
    const QString upgFile = in.argument(0);
    plan.count = in.numberOption(QStringLiteral("count"), 1, 1000000, 0);
    if (in.parser.isSet(QStringLiteral("verify")))
        plan.job = Upgrader::Job::Verify;
    if (std::optional<Result> refusal = wantedSerials(in, &plan.serials))
        return *refusal;
    if (std::optional<Result> refusal = in.usageError())
        return *refusal;
    if (std::optional<Result> refused = readUpgradeFile(upgFile, true, plan.job, &plan.image, &plan.file))
        return *refused;
    UnitReport report;
    if (std::optional<Result> refused = report.open(in, upgFile))
        return *refused;
    plan.stream = report.textStream();
    plan.terminal = report.textTerminal(in);
    plan.stops = stopSignals;
    Result result = runStation(plan, report);
    report.failOnLostRecords(result);
    reportLostOutput(result);
    return result;
}

} // namespace

QList<Command> stationCommands()
{
    return {
        {QStringLiteral("station"), QStringLiteral("Upgrade each VR480 as it is plugged in"),
         QStringLiteral("A production station: reads and checks the upgrade file once, then watches the bus and "
                        "upgrades every VR480 plugged in (and those attached at the start) as upgrade does, each "
                        "on its own while the others run; every one gets the same bytes. A device's restarts "
                        "during its upgrade are part of it. A device that stays attached after its upgrade is "
                        "not upgraded again; unplugged and plugged in again, it is (a new unit, or a retry after "
                        "a failure). Two devices with one serial are not upgraded while both are attached: "
                        "each is a unit of its own that ends at once, untouched. Each device in progress has a "
                        "line on a terminal (elsewhere its lines are prefixed with its serial); each unit ends "
                        "with a line: serial, seconds, outcome. Ctrl+C "
                        "takes no new device and ends the station once the running upgrades end; a second Ctrl+C "
                        "stops them between two transfers (status 130). The last line counts the units upgraded "
                        "and failed. Each unit gives a record as upgrade does (--report, --json). Status 0 when "
                        "every unit ended upgraded; when one did not, as for upgrade --all: 130 after a second "
                        "stop, else the status the failed units share, or 1 when theirs differ; 5 when it ended "
                        "before any unit, 4 when a record could not be written (no device is taken after that). With --verify, a "
                        "quality station: each unit is verified as verify does and never written; its outcome is "
                        "matches or differs, the last line counts the units matching and not matching, and the "
                        "status follows the same rule (6 when the failed units all differ)."),
         {{QStringLiteral("FILE.upg"), QStringLiteral("The upgrade file (a pipe such as /dev/stdin too).")}},
         {QCommandLineOption(QStringLiteral("serial"),
                             QStringLiteral("Upgrade only the VR480 with this serial (with or without the \"b\" of "
                                            "its bootloader); given several times, any of them. Other devices are "
                                            "left alone."),
                             QStringLiteral("SERIAL")),
          QCommandLineOption(QStringLiteral("count"),
                             QStringLiteral("End after N units, upgraded or failed (for scripts)."),
                             QStringLiteral("N")),
          QCommandLineOption(QStringLiteral("verify"),
                             QStringLiteral("Verify each unit against the file instead of upgrading it: never "
                                            "writes.")),
          reportOption(),
          jsonOption(QStringLiteral("Write the record of each unit on standard output instead of the log and "
                                    "the unit lines, which go to standard error with the progress."))},
         station},
    };
}

} // namespace cli
