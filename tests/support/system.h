#pragma once
// The system the tests run on, decided here once: constants to branch on, the
// skips of what one system lacks, and helpers for what only POSIX has. Under
// VR480_TEST_POSIX the tests call the POSIX functions themselves (signals,
// descriptor limits, mounts), whose headers this one brings.

#include <QString>
#include <QtTest>

#if defined(Q_OS_UNIX)
#define VR480_TEST_POSIX 1
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#define VR480_TEST_POSIX 0
#endif

// Windows (the cross build's tests run under Wine), and Linux, the one POSIX
// system the tests are run on.
constexpr bool kOnWindows = !VR480_TEST_POSIX;
#if defined(Q_OS_LINUX)
constexpr bool kOnLinux = true;
#else
constexpr bool kOnLinux = false;
#endif

// Ends the current test as skipped on Windows, for `why`.
#define SKIP_ON_WINDOWS(why) \
    do { \
        if (kOnWindows) \
            QSKIP(why); \
    } while (false)

// Makes a FIFO at `path`: false where it cannot, as on Windows, which has none.
bool makeFifo(const QString &path);
// Whether the process runs as root (never on Windows).
bool runsAsRoot();
// For a file that does not exist, the system's words ("No such file or
// directory" on Linux).
QString noSuchFile();
