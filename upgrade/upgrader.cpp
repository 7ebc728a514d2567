// The worker object: its settings, what its last run found, and a run.

#include "upgrader.h"

#include <QDeadlineTimer>
#include <QDebug>

Upgrader::Upgrader(USBVR480 *usb)
{
    qDebug("Upgrader constructor");
    if (usb)
        this->usb = usb;
    setSleeper({});
}

Upgrader::~Upgrader()
{
    qDebug("Upgrader destructor");
}

void Upgrader::setSleeper(Sleeper sleeper)
{
    sleeperGiven = bool(sleeper);
    if (!sleeper) {
        sleeper = [this](unsigned long ms) {
            // In slices, so that a stop request does not wait out a long pause.
            const QDeadlineTimer deadline(qint64(ms), Qt::PreciseTimer);
            while (!isInterruptionRequested() && !deadline.hasExpired())
                msleep(qMin<qint64>(deadline.remainingTime(), 20));
        };
    }
    this->sleeper = std::move(sleeper);
}

void Upgrader::slotSetFileName(QString fileName)
{
    QMutexLocker lock(&fileNameLock);
    this->fileName = fileName;
}

QString Upgrader::currentFileName()
{
    QMutexLocker lock(&fileNameLock);
    return fileName;
}

Upgrader::Outcome Upgrader::outcome() const
{
    return lastOutcome;
}

Upgrader::Left Upgrader::left() const
{
    return lastLeft;
}

USBVR480::Firmware Upgrader::firmwareFound() const
{
    return lastFirmware;
}

Upgrader::DeviceFound Upgrader::deviceFound() const
{
    QMutexLocker lock(&foundLock);
    return found;
}

void Upgrader::setJob(Job job)
{
    this->job = job;
}

Upgrader::Job Upgrader::currentJob() const
{
    return job;
}

QByteArray Upgrader::readImage() const
{
    return lastRead;
}

Readback::Comparison Upgrader::comparison() const
{
    return lastComparison;
}

void Upgrader::setStartCheck(bool on)
{
    startCheck = on;
}

void Upgrader::setFollowSerial(bool on)
{
    followSerial = on;
}

void Upgrader::setRestoreUntouched(bool on)
{
    restoreUntouched = on;
}

void Upgrader::setChecksumCheck(bool on)
{
    checksumCheck = on;
}

void Upgrader::setEscapedDeviceText(bool on)
{
    escapedDeviceText = on;
}

QString Upgrader::shown(const QString &text) const
{
    return escapedDeviceText ? USBVR480::escapedText(text) : text;
}

int Upgrader::failedPage() const
{
    return lastFailedPage;
}

void Upgrader::setImage(const QByteArray &image)
{
    givenImage = image;
}

void Upgrader::setPlan(const Plan &plan)
{
    setStartCheck(plan.startCheck);
    setFollowSerial(plan.followSerial);
    setRestoreUntouched(plan.restoreUntouched);
    setEscapedDeviceText(plan.escapedDeviceText);
    setImage(plan.image);
    setJob(plan.job);
}

void Upgrader::showOn(QObject *context, const std::function<void(const QString &)> &line,
                      const std::function<void(Bar, int)> &percent)
{
    // Without a context the functors run on the reporting thread: one that
    // does not run an event loop gets its reports all the same.
    QObject *receiver = context ? context : this;
    const Qt::ConnectionType type = context ? Qt::AutoConnection : Qt::DirectConnection;
    connect(this, &Upgrader::sendText, receiver, line, type);
    connect(this, &Upgrader::sendPercent, receiver, [percent](int p) { percent(Bar::Flash, p); }, type);
    connect(usb, &USBVR480::sendPercentExtFlashWrite, receiver,
            [percent](int p) { percent(Bar::ExternalFlashWrite, p); }, type);
    connect(usb, &USBVR480::sendPercentExtFlashRead, receiver,
            [percent](int p) { percent(Bar::ExternalFlashVerify, p); }, type);
}

void Upgrader::run()
{
    lastFirmware = USBVR480::Firmware::Unknown;
    lastLeft = Left::AsFound;
    lastFailedPage = -1;
    lastRead.clear();
    lastComparison = {};
    {
        QMutexLocker lock(&foundLock);
        found = {};
    }
    lastOutcome = twinOr(job == Job::Write ? upgrade() : readDevice());
}

// A twin seen at any point of the run makes it prove nothing, whatever it
// came to; the word says how far the flash got.
Upgrader::Outcome Upgrader::twinOr(Outcome outcome) const
{
    if (!usb || !usb->twinSeen())
        return outcome;
    switch (outcome) {
    case Outcome::NoDevice:
    case Outcome::Untouched:
    case Outcome::FirstPageRefused:
        return Outcome::TwinUntouched;
    case Outcome::PageWriteFailed:
    case Outcome::PageVerifyFailed:
    case Outcome::Failed:
        return Outcome::TwinFailed;
    case Outcome::Written:
    case Outcome::Started:
    case Outcome::NotStarted:
        return Outcome::TwinNotProven;
    case Outcome::ReadFailed:
    case Outcome::Read:
    case Outcome::Matches:
    case Outcome::Differs:
        return Outcome::TwinUntouched;
    case Outcome::NoFile:
    case Outcome::BadFile:
    case Outcome::BadChecksum:
    case Outcome::InterruptedUntouched:
    case Outcome::Interrupted:
    case Outcome::TwinUntouched:
    case Outcome::TwinFailed:
    case Outcome::TwinNotProven:
        break;
    }
    return outcome;
}

Upgrader::Outcome Upgrader::orInterrupted(Outcome otherwise) const
{
    return isInterruptionRequested() ? Outcome::Interrupted : otherwise;
}

Upgrader::Outcome Upgrader::refusedFile(UpgradeFile::Refusal refusal)
{
    return refusal == UpgradeFile::Refusal::WrongChecksum ? Outcome::BadChecksum : Outcome::BadFile;
}
