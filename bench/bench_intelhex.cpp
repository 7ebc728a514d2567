// Intel HEX conversion of a whole firmware release (0x08004000-0x0805BFFF,
// 16-byte records, about 1 MB of text): HexToBin in this process, next to GNU
// objcopy and SRecord's srec_cat converting the same file to binary as whole
// processes, the image building of CreateUpg from the HEX file to the written
// upgrade file, and vr480-cli's hex2bin, create-upg and --version as whole
// processes, also for other builds of vr480-cli given on the command line.
//
//   bench_intelhex [RUNS [OTHER-VR480-CLI ...]]

#include "imagebuilder.h"
#include "intelhex.h"
#include "upgradefile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr quint32 kFirst = 0x08004000;
constexpr quint32 kEnd = 0x0805C000;

// Random data over the whole range, the brand halfword 0, as a linker's
// objcopy would write it: 16-byte records, an upper-address record at every
// 64 KiB boundary, LF line ends.
QByteArray releaseHex()
{
    QRandomGenerator random(480);
    QByteArray text;
    text.reserve(1 << 20);
    for (quint32 address = kFirst; address < kEnd; address += 16) {
        if (address == kFirst || (address & 0xFFFF) == 0) {
            const QByteArray upper = QByteArray("\x02\x00\x00\x04", 4) + char(address >> 24)
                + char(address >> 16);
            int sum = 0;
            for (char c : upper)
                sum += static_cast<unsigned char>(c);
            text += ':' + (upper + char(-sum)).toHex().toUpper() + '\n';
        }
        QByteArray record = QByteArray(1, 16) + char(address >> 8) + char(address) + '\0';
        for (int i = 0; i < 16; ++i)
            record += address + quint32(i) == 0x0803FFD0 || address + quint32(i) == 0x0803FFD1
                ? '\0'
                : char(random.bounded(256));
        int sum = 0;
        for (char c : record)
            sum += static_cast<unsigned char>(c);
        text += ':' + (record + char(-sum)).toHex().toUpper() + '\n';
    }
    return text + ":00000001FF\n";
}

struct Figures {
    double median;
    double min;
    double max;
};

Figures measure(int runs, const std::function<bool()> &work)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!work()) {
            std::fprintf(stderr, "run failed\n");
            std::exit(1);
        }
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.front(), ms.back()};
}

bool runProcess(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

void print(const char *what, const Figures &f)
{
    std::printf("%-44s %8.2f ms  (min %.2f, max %.2f)\n", what, f.median, f.min, f.max);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 21;

    QTemporaryDir dir;
    const QString hex = dir.filePath(QStringLiteral("release.hex"));
    const QString bin = dir.filePath(QStringLiteral("release.bin"));
    const QString upg = dir.filePath(QStringLiteral("release.upg"));
    const QByteArray text = releaseHex();
    QFile file(hex);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return 1;
    file.close();
    std::printf("HEX file: %lld bytes, %lld lines; median of %d runs, wall time\n",
                static_cast<long long>(text.size()), static_cast<long long>(text.count('\n')), runs);

    QByteArray window(int(kEnd - kFirst), '\0');
    print("HexToBin, whole range in one window", measure(runs, [&] {
              return HexToBin(hex, window.data(), kFirst, kEnd - 1) == 0;
          }));
    QByteArray image;
    print("HexToBin, both windows of CreateUpg", measure(runs, [&] {
              return ImageBuilder::convertUpgradeImage(hex, image).ok();
          }));
    print("CreateUpg: HEX to written upgrade file", measure(runs, [&] {
              return ImageBuilder::convertUpgradeImage(hex, image).ok()
                  && !ImageBuilder::hasForeignBrand(image, UpgradeFile::kBrandOffset)
                  && ImageBuilder::saveUpgradeFile(upg, image).ok();
          }));

    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    const QString srecCat = QStandardPaths::findExecutable(QStringLiteral("srec_cat"));
    if (!objcopy.isEmpty()) {
        const Figures f = measure(runs, [&] {
            return runProcess(objcopy, {"-I", "ihex", "-O", "binary", hex, bin});
        });
        print("objcopy -I ihex -O binary (process)", f);
        QFile out(bin);
        if (out.open(QIODevice::ReadOnly) && out.readAll() != window)
            std::printf("  objcopy's binary differs from HexToBin's window!\n");
    } else {
        std::printf("objcopy not found\n");
    }
    if (!srecCat.isEmpty()) {
        print("srec_cat -intel ... -binary (process)", measure(runs, [&] {
                  return runProcess(srecCat, {hex, "-intel", "-offset", "-0x08004000", "-o", bin,
                                              "-binary"});
              }));
        QFile out(bin);
        if (out.open(QIODevice::ReadOnly) && out.readAll() != window)
            std::printf("  srec_cat's binary differs from HexToBin's window!\n");
    } else {
        std::printf("srec_cat not found (Debian package srecord)\n");
    }

    // The command-line program, built next to this benchmark, for build
    // servers; then any other builds of it given after the run count (an
    // earlier version, say), measured the same way.
    QStringList clis{QCoreApplication::applicationDirPath() + QStringLiteral("/vr480-cli")};
    for (int i = 2; i < argc; ++i)
        clis << QString::fromLocal8Bit(argv[i]);
    for (const QString &cli : std::as_const(clis)) {
        std::printf("%s\n", qPrintable(cli));
        print("  hex2bin (process)", measure(runs, [&] {
                  return runProcess(cli, {"hex2bin", hex, "--first", "0x08004000", "--last", "0x0805BFFF",
                                          "-o", bin});
              }));
        QFile out(bin);
        if (out.open(QIODevice::ReadOnly) && out.readAll() != window)
            std::printf("  its binary differs from HexToBin's window!\n");
        print("  create-upg (process)", measure(runs, [&] { return runProcess(cli, {"create-upg", hex, "-o", upg}); }));
        print("  --version (process)", measure(runs, [&] { return runProcess(cli, {"--version"}); }));
    }
    return 0;
}
