#pragma once

#include "readback.h"
#include "usbvr480.h"

#include "upgradefile.h"

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
//
// Instead of writing, a run can read (setJob): it connects and identifies as
// the upgrade does, reads the 120 application pages and the external-flash
// data, and restarts the device back into the firmware it found running, also
// after a stop request. It never sends a write request.
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

    // How the last run ended, decided by the step that ended it. A run that
    // reaches the start of the new application ends Written; with the start
    // check on, it then waits for the application to come back on the bus and
    // ends Started, or NotStarted when it does not.
    enum class Outcome {
        NoFile,      // no file name: nothing was done
        BadFile,     // not an upgrade file (header, version or length), or unreadable
        BadChecksum, // an upgrade file whose checksums do not match: damaged
        NoDevice,    // no device answered the first connection
        Untouched,   // the device failed a step before anything was written
                     // (where it is: left())
        FirstPageRefused, // the device refused the first page: nothing was written
        PageWriteFailed,  // the write of page failedPage() failed; the bootloader runs
        PageVerifyFailed, // page failedPage() could not be read back, or differs
        Failed,      // the external flash failed; the bootloader runs
        InterruptedUntouched, // stopped on request before the device was restarted
                              // or written: it runs what it ran
        Interrupted, // stopped on request later; the device may be left in its bootloader
        Written,     // written, verified and told to start the application
        Started,     // ... and seen running it
        NotStarted,  // ... but not seen running it
        // Another device answered to the serial followed (setFollowSerial, or
        // selected on the device object): the run proves nothing, and
        // connects to neither again.
        TwinUntouched, // ... before anything was written
        TwinFailed,    // ... while the flash was written; it may be left in its bootloader
        TwinNotProven, // ... once it was written and verified: its start is not proven
        // The ends of a run that reads (setJob). A read that fails or is
        // stopped ends ReadFailed or Interrupted, with left() saying where
        // the device was left.
        ReadFailed, // a read transfer failed: page failedPage(), or the external flash (-1)
        Read,       // Job::Read: both memories read (readImage())
        Matches,    // Job::Verify: they hold the given image's application and data
        Differs,    // Job::Verify: they do not (comparison())
    };
    Outcome outcome() const;
    // Where the last run left the device, as far as it saw.
    enum class Left {
        AsFound,     // not restarted: it runs what it ran (firmwareFound())
        Bootloader,  // restarted into its bootloader, where it stays (with its
                     // old application when nothing was written)
        Application, // restarted into an application and seen running it
        Gone,        // restarted, and not seen back
        Unknown,     // restarted without a check, or cut off by a twin
    };
    Left left() const;
    // The page (0 to 119) of PageWriteFailed and PageVerifyFailed.
    int failedPage() const;
    // The firmware the last run found running, by the device's serial.
    USBVR480::Firmware firmwareFound() const;
    // The device the last run's first connection found: where it was, its
    // serial as read then, and its bootloader's version; what the run did
    // not get to read is empty (no bus: no device answered).
    struct DeviceFound {
        UsbDevice::Place place;
        QByteArray serial;
        std::optional<QString> bootloaderVersion;
    };
    DeviceFound deviceFound() const;
    // Off by default; set before start(). On, the run waits up to 10 s for
    // the new application after the final restart, and logs when it does not
    // come.
    void setStartCheck(bool on);
    // On by default; set before start(). Off, a file whose checksums do not
    // match is written all the same (to test the device's own check).
    void setChecksumCheck(bool on);
    // Off by default; set before start(). On, the run follows the device of
    // its first connection by its serial (selecting that serial on the
    // device object when none is), and looks for a twin of it
    // (UsbDevice::twinAttached) after that connection and before the final
    // restart; a twin seen at any point ends the run in a Twin outcome.
    void setFollowSerial(bool on);
    // Off by default; set before start(). On, a device that the run
    // restarted into its bootloader and then wrote nothing to is restarted
    // back into its application (left() says whether it came back).
    void setRestoreUntouched(bool on);
    // Off by default; set before start(). On, the device's text in the log
    // (serial, bootloader version) and the file's name have their control
    // characters escaped (USBVR480::escapedText), for a terminal.
    void setEscapedDeviceText(bool on);

    // What a run does: write the file (the upgrade), or only read what the
    // device holds, compared with the given image (setImage, or the file),
    // or not. Set before start().
    enum class Job { Write, Verify, Read };
    void setJob(Job job);
    Job currentJob() const;
    // What the last reading run read, as a plain upgrade image (readback.h);
    // empty when it did not get to the end of its reads.
    QByteArray readImage() const;
    // Job::Verify: the last run's differences.
    Readback::Comparison comparison() const;

    // The outcome of a run on a file that UpgradeFile::check refuses.
    static Outcome refusedFile(UpgradeFile::Refusal refusal);
    // The plain image of a file checked by the caller (UpgradeFile::check), which the
    // next run writes instead of reading the file; the file name is still
    // the log's first line. An empty image: the run reads the file.
    void setImage(const QByteArray &image);

    // How a front end runs the worker, set before start() (setPlan): the
    // window's by default, which reads the file and waits for the new
    // application; the command line's also follows its device by its serial,
    // restarts one that it restarted for nothing back into its application,
    // escapes the device's text and writes (or reads, by its job) the image
    // it was given.
    struct Plan {
        bool startCheck = true;
        bool followSerial = false;
        bool restoreUntouched = false;
        bool escapedDeviceText = false;
        QByteArray image; // see setImage()
        Job job = Job::Write;
        static Plan commandLine(const QByteArray &image, Job job = Job::Write)
        {
            return {true, true, true, true, image, job};
        }
    };
    void setPlan(const Plan &plan);

    // The run's reports on one display: log lines, and the percentages of the
    // application's pages and of the external flash's write and verification.
    // With a `context`, the calls are queued to its thread; without, they run
    // on the thread that reports.
    enum class Bar { Flash, ExternalFlashWrite, ExternalFlashVerify };
    void showOn(QObject *context, const std::function<void(const QString &)> &line,
                const std::function<void(Bar, int)> &percent);

signals:
    void sendText(QString s);
    void sendPercent(int percent);

public slots:
    void slotSetFileName(QString fileName);

protected:
    void run() override;

private:
    // One step of a run: nothing when the run goes on, else how it ended.
    using Step = std::optional<Outcome>;
    Outcome upgrade();
    Step loadFile(const QString &path, QByteArray &image);
    Step connectDevice(USBVR480::Firmware &firmware, QByteArray &serial);
    // `serial`: the one found, then the bootloader's.
    Step enterBootloader(USBVR480::Firmware firmware, QByteArray &serial);
    Step writeApplication(const QByteArray &application);
    Step writeExternalFlash(const QByteArray &data);
    Step followDevice(USBVR480::Firmware firmware);
    Outcome startApplication();
    Outcome restoreApplication();
    Outcome readDevice();
    Step readMemories(QByteArray &image);
    void returnToApplication();
    Outcome twinOr(Outcome outcome) const;
    // `otherwise`, or Interrupted when the run was asked to stop (a transfer
    // that fails for that reason is no fault of the device).
    Outcome orInterrupted(Outcome otherwise) const;
    QString currentFileName();
    QString shown(const QString &text) const; // as setEscapedDeviceText() asks
    bool connectWithRetries();
    void sayRefusal();
    USBVR480::Waiting waitingLine();

    USBVR480 *usb = nullptr;
    QString fileName; // set by the GUI thread, read once at the start of a run
    QMutex fileNameLock;
    QByteArray givenImage; // set before start()
    Sleeper sleeper;
    bool sleeperGiven = false;
    std::atomic<Job> job{Job::Write};
    QByteArray lastRead;            // written by the run, read after it
    Readback::Comparison lastComparison;
    std::atomic<Outcome> lastOutcome{Outcome::NoFile};
    std::atomic<USBVR480::Firmware> lastFirmware{USBVR480::Firmware::Unknown};
    std::atomic<int> lastFailedPage{-1};
    DeviceFound found;
    mutable QMutex foundLock;
    std::atomic<Left> lastLeft{Left::AsFound};
    std::atomic<bool> startCheck{false};
    std::atomic<bool> followSerial{false};
    std::atomic<bool> restoreUntouched{false};
    std::atomic<bool> checksumCheck{true};
    std::atomic<bool> escapedDeviceText{false};
};
