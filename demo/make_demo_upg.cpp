// Writes the demo program's upgrade file: a made-up firmware release whose
// application and external-flash data are fixed patterns, put into the file
// by the program's own writer.
//
//   vr480_make_demo_upg OUT.upg

#include "imagebuilder.h"
#include "upgradefile.h"

#include <QByteArray>

#include <cstdio>

namespace {

// A reproducible byte pattern (a linear congruential generator).
void fillPattern(char *data, int length, quint32 seed)
{
    for (int i = 0; i < length; ++i) {
        seed = seed * 1664525u + 1013904223u;
        data[i] = char(seed >> 24);
    }
}

QByteArray demoImage()
{
    using namespace UpgradeFile;
    QByteArray image(kImageSize, '\0');
    // 100 KiB of "code" with a text the device would show, the rest of the
    // application area left empty; the brand halfword stays 0.
    fillPattern(image.data() + kApplicationOffset, 100 * 1024, 0x480);
    const QByteArray banner = "VR480 demo application 3.01";
    image.replace(kApplicationOffset + 0x200, int(banner.size()), banner);
    fillPattern(image.data() + kExternalOffset, kExternalSize - 4, 0x1F);
    return image;
}

} // namespace

int main(int argc, char **argv)
{
    // The scrambler reports on the debug channel; a build step stays quiet.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT.upg\n", argv[0]);
        return 2;
    }
    if (!ImageBuilder::saveUpgradeFile(QString::fromLocal8Bit(argv[1]), demoImage()).ok()) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
