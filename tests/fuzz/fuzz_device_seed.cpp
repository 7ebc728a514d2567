// Writes the device fuzzer's seed: the choices of a sound device through a
// whole session, which must end with the new application running.

#include "devicesession.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SEED-FILE\n", argv[0]);
        return 2;
    }
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    fuzzusb::Script script;
    if (runDeviceSession(script) != Upgrader::Outcome::Started) {
        std::fprintf(stderr, "%s: the sound device was not upgraded\n", argv[0]);
        return 1;
    }
    QSaveFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::WriteOnly) || file.write(script.recorded()) != script.recorded().size()
        || !file.commit()) {
        std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], qPrintable(file.errorString()));
        return 1;
    }
    return 0;
}
