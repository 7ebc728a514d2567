// The outcome table: every outcome of the worker has its record word (one of
// the documented words), the status of the run and a message; a refused
// device its log line and message.

#include "outcome.h"

#include <QtTest>

#include <algorithm>

Q_DECLARE_METATYPE(Upgrader::Outcome)
Q_DECLARE_METATYPE(Upgrader::Job)

class TestOutcome : public QObject {
    Q_OBJECT

private slots:
    void rows_data()
    {
        using Outcome = Upgrader::Outcome;
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("word");
        QTest::addColumn<int>("status");
        QTest::addColumn<Upgrader::Job>("job");
        QTest::addColumn<QString>("says"); // a part of the message, when it matters
        using Job = Upgrader::Job;
        const auto row = [](const char *name, Outcome outcome, const char *word, int status, Job job = Job::Write,
                            const char *says = "") {
            QTest::newRow(name) << outcome << QString::fromLatin1(word) << status << job << QString::fromLatin1(says);
        };
        row("started", Outcome::Started, "upgraded", ExitOk);
        row("not started", Outcome::NotStarted, "not-started", ExitDeviceFailed);
        row("twin, not proven", Outcome::TwinNotProven, "not-started", ExitDeviceFailed);
        row("bad file", Outcome::BadFile, "failed", ExitBadInput);
        row("bad checksum", Outcome::BadChecksum, "failed", ExitBadInput, Job::Write, "--ignore-checksum writes it");
        row("bad checksum, verify", Outcome::BadChecksum, "failed", ExitBadInput, Job::Verify,
            "--ignore-checksum compares with it");
        row("page write", Outcome::PageWriteFailed, "failed", ExitDeviceFailed);
        row("page verify", Outcome::PageVerifyFailed, "failed", ExitDeviceFailed);
        row("external flash", Outcome::Failed, "failed", ExitDeviceFailed);
        row("twin, failed", Outcome::TwinFailed, "failed", ExitDeviceFailed);
        row("untouched", Outcome::Untouched, "untouched", ExitDeviceFailed);
        row("first page refused", Outcome::FirstPageRefused, "untouched", ExitDeviceFailed);
        row("twin, untouched", Outcome::TwinUntouched, "untouched", ExitDeviceFailed);
        row("no device", Outcome::NoDevice, "no-device", ExitNoDevice);
        row("interrupted, untouched", Outcome::InterruptedUntouched, "interrupted", ExitInterrupted);
        row("interrupted", Outcome::Interrupted, "interrupted", ExitInterrupted);
        row("interrupted read", Outcome::Interrupted, "interrupted", ExitInterrupted, Job::Read, "nothing was written");
        row("matches", Outcome::Matches, "matches", ExitOk, Job::Verify);
        row("differs", Outcome::Differs, "differs", ExitDiffers, Job::Verify, "0 external-flash ranges differ");
        row("read", Outcome::Read, "untouched", ExitOk, Job::Read, "nothing was written");
        row("read failed", Outcome::ReadFailed, "untouched", ExitDeviceFailed, Job::Read, "nothing was written");
    }
    void rows()
    {
        QFETCH(Upgrader::Outcome, outcome);
        QFETCH(QString, word);
        QFETCH(int, status);
        QFETCH(Upgrader::Job, job);
        QFETCH(QString, says);
        RunFacts facts;
        facts.job = job;
        const OutcomeText text = outcomeText(outcome, facts);
        QCOMPARE(text.word, word);
        QCOMPARE(int(text.status), status);
        QVERIFY(!text.message.isEmpty());
        QVERIFY2(text.message.contains(says), qPrintable(text.message));
        QVERIFY(std::any_of(std::begin(kOutcomeWords), std::end(kOutcomeWords),
                            [&](const OutcomeWord &w) { return word == QLatin1String(w.word); }));
    }

    void refusals()
    {
        const usb::DeniedDevice none;
        QCOMPARE(refusalLine(none), QString());
        QCOMPARE(refusalMessage(none), QString());
        for (const usb::Refusal why : {usb::Refusal::NoPermission, usb::Refusal::NotBound}) {
            const usb::DeniedDevice denied{QStringLiteral("bus 001, device 004"), why};
            QVERIFY(refusalLine(denied).contains(denied.place));
            QVERIFY(refusalMessage(denied).contains(denied.place));
            // A refused device is what the no-device outcome says.
            RunFacts facts;
            facts.denied = denied;
            QCOMPARE(outcomeText(Upgrader::Outcome::NoDevice, facts).message, refusalMessage(denied));
        }
    }
};

QTEST_GUILESS_MAIN(TestOutcome)
#include "tst_outcome.moc"
