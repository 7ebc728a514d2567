#pragma once

#include "usbvr480.h"

#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <optional>

// The upgrade worker: one run of the thread carries one upgrade file into the
// device (file read once and checked, checksums included, before anything
// reaches the device; connection, restart into the bootloader when the
// application runs, 120 application pages written and verified, external
// flash written and verified, start of the new application). It reports only
// through its signals and never touches a widget.
//
// The run stops early, leaving the device in its bootloader, when the thread
// is asked to (QThread::requestInterruption): between pages, between the
// device's transfers and during its pauses.
class Upgrader : public QThread {
    Q_OBJECT

public:
    explicit Upgrader(USBVR480 *usb);
    ~Upgrader() override;

    // How the run pauses, in milliseconds. The default sleeps on the worker
    // thread and wakes early when the thread is asked to stop; tests install
    // one that only records.
    using Sleeper = std::function<void(unsigned long ms)>;
    void setSleeper(Sleeper sleeper);

    // How the last run ended. A run that reaches the start of the new
    // application ends Written; with the start check on, it then waits for
    // the application to come back on the bus and ends Started, or
    // NotStarted when it does not.
    enum class Outcome {
        NoFile,      // no file name: nothing was done
        BadFile,     // not an upgrade file (header, version or length)
        BadChecksum, // an upgrade file whose checksums do not match: damaged
        NoDevice,    // no device answered the first connection
        Untouched,   // the device failed a step before its restart: nothing was
                     // written, it runs what it ran (firmwareFound())
        Failed,      // the device failed a step; it may be left in its bootloader
        Interrupted, // stopped on request; the device may be left in its bootloader
        Written,     // written, verified and told to start the application
        Started,     // ... and seen running it
        NotStarted,  // ... but not seen running it
    };
    Outcome outcome() const;
    // The firmware the last run found running, by the device's serial.
    USBVR480::Firmware firmwareFound() const;
    // Off by default; set before start(). On, the run waits up to 10 s for
    // the new application after the final restart, and logs when it does not
    // come.
    void setStartCheck(bool on);
    // On by default; set before start(). Off, a file whose checksums do not
    // match is written all the same (to test the device's own check).
    void setChecksumCheck(bool on);

signals:
    void sendText(QString s);
    void sendPercent(int percent);

public slots:
    void slotSetFileName(QString fileName);

protected:
    void run() override;

private:
    Outcome upgrade();
    std::optional<Outcome> readFile(const QString &path, QByteArray &image);
    QString currentFileName();
    bool connectWithRetries();
    bool waitForBootloader();
    bool writeApplication(const QByteArray &application);
    bool writeExternalFlash(const QByteArray &data);

    USBVR480 *usb = nullptr;
    QString fileName; // set by the GUI thread, read once at the start of a run
    QMutex fileNameLock;
    Sleeper sleeper;
    std::atomic<Outcome> lastOutcome{Outcome::NoFile};
    std::atomic<USBVR480::Firmware> lastFirmware{USBVR480::Firmware::Unknown};
    std::atomic<bool> startCheck{false};
    std::atomic<bool> checksumCheck{true};
};
