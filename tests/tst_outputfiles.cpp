#include "outputfiles.h"
#include "system.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QTemporaryDir>
#include <QTest>

#include <QRegularExpression>
#include <QScopeGuard>

#if VR480_TEST_POSIX
#include <sys/mount.h>
#endif

#include <thread>

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList entries(const QTemporaryDir &dir)
{
    return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                      QDir::Name);
}

} // namespace

class TestOutputFiles : public QObject {
    Q_OBJECT

private slots:
    void allCommittedTogether()
    {
        QTemporaryDir dir;
        QFile old(dir.filePath("b.bin"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
#if VR480_TEST_POSIX
        const mode_t mask = umask(027);
#endif
        {
            image::OutputFiles files;
            QVERIFY(files.add(dir.filePath("a.bin"), image::OutputFiles::writerOf("first")).ok());
            QVERIFY(files.add(dir.filePath("b.bin"), image::OutputFiles::writerOf("second")).ok());
            // Nothing is in place before the commit.
            QCOMPARE(contents(dir.filePath("b.bin")), QByteArray("old"));
            QCOMPARE(entries(dir).size(), 3);
            const image::FileResult committed = files.commit();
            QVERIFY(committed.ok());
            QVERIFY(committed.error.isEmpty());
        }
        QCOMPARE(entries(dir), (QStringList{"a.bin", "b.bin"}));
        QCOMPARE(contents(dir.filePath("a.bin")), QByteArray("first"));
        QCOMPARE(contents(dir.filePath("b.bin")), QByteArray("second"));
#if VR480_TEST_POSIX
        umask(mask);
        // A new file's usual permissions less the umask, not a temporary's 0600.
        QCOMPARE(QFile::permissions(dir.filePath("a.bin")),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser
                     | QFile::ReadGroup);
#endif
    }

    // Any failure leaves the folder as it was: no target, no temporary.
    void failureWritesNothing_data()
    {
        QTest::addColumn<QString>("second"); // name of the second file, in the folder
        QTest::addColumn<bool>("writerFails");
        QTest::addColumn<QString>("error"); // how the failure's error ends
        QTest::newRow("writer fails") << "b.bin" << true << "b.bin: write failed";
        QTest::newRow("folder in the way") << "sub" << false << "sub: is a folder";
        QTest::newRow("no such folder") << "missing/b.bin" << false << "missing/b.bin: No such file or directory";
    }

    void failureWritesNothing()
    {
        QFETCH(QString, second);
        QFETCH(bool, writerFails);
        QFETCH(QString, error);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("sub"));
        QFile old(dir.filePath("a.bin"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
        const QStringList before = entries(dir);
        {
            image::OutputFiles files;
            QVERIFY(files.add(dir.filePath("a.bin"), image::OutputFiles::writerOf("first")).ok());
            const image::FileResult failed = files.add(dir.filePath(second), [&](QIODevice &file) {
                return file.write("partial") == 7 && !writerFails;
            });
            QCOMPARE(failed.status, image::FileStatus::CannotWrite);
            QVERIFY2(failed.error.endsWith(error), qPrintable(failed.error));
            // The batch stays failed with its first failure.
            QCOMPARE(files.add(dir.filePath("c.bin"), image::OutputFiles::writerOf("third")).error, failed.error);
            QCOMPARE(files.commit().error, failed.error);
        }
        QCOMPARE(entries(dir), before);
        QCOMPARE(contents(dir.filePath("a.bin")), QByteArray("old"));
    }

    // A failure once the files are in place (the last check, then a
    // device's write before it) takes all of them back, a lone replaced file
    // too.
    void failureAfterRenames_data()
    {
        QTest::addColumn<QStringList>("names"); // in the folder, or absolute
        QTest::addColumn<QString>("error");
        QTest::newRow("last check, one file replaced") << QStringList{"b.bin"} << "lost";
        QTest::newRow("last check, a new file and a replaced one") << QStringList{"a.bin", "b.bin"} << "lost";
        if (!kOnWindows)
            QTest::newRow("a device's write") << QStringList{"a.bin", "b.bin", "/dev/full"}
                                              << "/dev/full: No space left on device";
    }

    void failureAfterRenames()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, error);
        QTemporaryDir dir;
        QFile old(dir.filePath("b.bin"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
        const QStringList before = entries(dir);
        image::OutputFiles files;
        for (const QString &name : names)
            QVERIFY(files.add(QDir(dir.path()).filePath(name), image::OutputFiles::writerOf("new")).ok());
        QByteArray checked;
        const image::FileResult committed = files.commit({}, [&] {
            checked = contents(dir.filePath("b.bin"));
            return QStringLiteral("lost");
        });
        QCOMPARE(committed.status, image::FileStatus::CannotWrite);
        QVERIFY2(committed.error.endsWith(error), qPrintable(committed.error));
        QCOMPARE(checked, error == "lost" ? QByteArray("new") : QByteArray());
        QCOMPARE(entries(dir), before);
        QCOMPARE(contents(dir.filePath("b.bin")), QByteArray("old"));
    }

    // What an existing target is decides how it is written: a device or FIFO
    // is written into and stays what it is, a link stays a link, a replaced
    // file keeps its permission bits.
    void existingTargets_data()
    {
        SKIP_ON_WINDOWS("FIFOs, permission bits and symbolic links: POSIX");
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("private file") << "0600";
        QTest::newRow("link to a file") << "link";
    }

    void existingTargets()
    {
#if VR480_TEST_POSIX
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString target = dir.filePath("out.bin");
        const QString file = dir.filePath("file.bin");
        QFile old(file);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
        QByteArray fromFifo;
        std::thread reader;
        if (kind == "fifo") {
            QCOMPARE(mkfifo(QFile::encodeName(target).constData(), 0600), 0);
            reader = std::thread([&] { fromFifo = contents(target); });
        } else if (kind == "0600") {
            QVERIFY(QFile::rename(file, target));
            QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner));
        } else {
            QVERIFY(QFile::link(file, target));
        }
        image::OutputFiles files;
        QVERIFY(files.add(target, image::OutputFiles::writerOf("new")).ok());
        const image::FileResult committed = files.commit();
        QVERIFY2(committed.ok(), qPrintable(committed.error));
        struct stat info {};
        QCOMPARE(lstat(QFile::encodeName(target).constData(), &info), 0);
        if (kind == "fifo") {
            reader.join();
            QCOMPARE(fromFifo, QByteArray("new"));
            QVERIFY(S_ISFIFO(info.st_mode));
        } else if (kind == "0600") {
            QCOMPARE(contents(target), QByteArray("new"));
            QCOMPARE(info.st_mode & 0777, mode_t(0600));
        } else {
            QVERIFY(S_ISLNK(info.st_mode));
            QCOMPARE(contents(file), QByteArray("new"));
        }
        QCOMPARE(entries(dir).filter(".part").size() + entries(dir).filter(".old").size(), 0);
        QVERIFY(image::OutputFiles::sameFile(target, kind == "link" ? file : target));
        QVERIFY(!image::OutputFiles::sameFile(target, dir.filePath("other.bin")));
#endif
    }

    // A temporary gone before its rename: the files already in place are taken
    // back, old contents restored, new files removed.
    void failedRenameTakesBack()
    {
        QTemporaryDir dir;
        QFile old(dir.filePath("b.bin"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
        const QStringList before = entries(dir);
        image::OutputFiles files;
        for (const char *name : {"a.bin", "b.bin", "c.bin"})
            QVERIFY(files.add(dir.filePath(name), image::OutputFiles::writerOf(name)).ok());
        // The last temporary goes missing, so that its rename fails.
        const QStringList temporaries = entries(dir).filter(QRegularExpression("\\.part$"));
        QCOMPARE(temporaries.size(), 3);
        for (const QString &temporary : temporaries) {
            if (contents(dir.filePath(temporary)) == "c.bin")
                QVERIFY(QFile::remove(dir.filePath(temporary)));
        }
        const image::FileResult committed = files.commit();
        QCOMPARE(committed.status, image::FileStatus::CannotWrite);
        QVERIFY2(committed.error.contains("c.bin: "), qPrintable(committed.error));
        QCOMPARE(entries(dir), before);
        QCOMPARE(contents(dir.filePath("b.bin")), QByteArray("old"));
    }

    // Whoever may change the folder swaps the temporary for a link to a
    // private file while it is written: that file keeps its mode, and the
    // link is never renamed into place.
    void swappedTemporary()
    {
        SKIP_ON_WINDOWS("a symbolic link and permission bits: POSIX");
        QTemporaryDir dir;
        const QString target = dir.filePath("out.bin"), secret = dir.filePath("secret");
        for (const QString &name : {target, secret}) {
            QFile file(name);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("old") == 3);
        }
        QVERIFY(QFile::setPermissions(secret, QFile::ReadOwner | QFile::WriteOwner));
        image::OutputFiles files;
        QVERIFY(files.add(target, [&](QIODevice &file) {
            const QString temporary = dir.filePath(entries(dir).filter(QRegularExpression("\\.part$")).value(0));
            return file.write("new") == 3 && QFile::rename(temporary, dir.filePath("moved"))
                && QFile::link(secret, temporary);
        }).ok());
        const image::FileResult committed = files.commit();
        QCOMPARE(committed.status, image::FileStatus::CannotWrite);
        QVERIFY2(committed.error.endsWith("out.bin: its temporary file was replaced by another program"),
                 qPrintable(committed.error));
        QCOMPARE(QFile::permissions(secret), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(contents(secret), QByteArray("old"));
        QVERIFY(!QFileInfo(target).isSymLink());
        QCOMPARE(contents(target), QByteArray("old"));
    }

    // Stopped before the first, second or third rename, or not at all: at
    // every step each name holds its whole old or new file, and at the end
    // all are new or all are as before.
    void commitAllOrNone_data()
    {
        QTest::addColumn<int>("stopAt");
        QTest::newRow("not stopped") << 0;
        for (int at = 1; at <= 3; ++at)
            QTest::addRow("stopped before rename %d", at) << at;
    }

    void commitAllOrNone()
    {
        QFETCH(int, stopAt);
        QTemporaryDir dir;
        const QStringList names{"a.bin", "b.bin", "c.bin"};
        for (const QString &name : names.mid(1)) {
            QFile old(dir.filePath(name));
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        }
        image::OutputFiles files;
        for (const QString &name : names)
            QVERIFY(files.add(dir.filePath(name), image::OutputFiles::writerOf("new " + name.toLatin1())).ok());
        int asked = 0;
        QStringList seen;
        const image::FileResult committed = files.commit([&] {
            ++asked;
            for (const QString &name : names)
                seen << name + ": " + QString::fromLatin1(contents(dir.filePath(name)));
            return asked == stopAt;
        });
        QCOMPARE(committed.status, stopAt == 0 ? image::FileStatus::Ok : image::FileStatus::Interrupted);
        QCOMPARE(committed.error, QString());
        QCOMPARE(asked, stopAt == 0 ? 3 : stopAt);
        QStringList steps; // before rename n, the files before it are new, the others as they were
        for (int at = 0; at < asked; ++at) {
            for (int n = 0; n < names.size(); ++n)
                steps << names.at(n) + (n < at ? ": new " + names.at(n) : n == 0 ? ": <missing>" : ": old");
        }
        QCOMPARE(seen, steps);
        const QStringList expected = stopAt == 0 ? names : names.mid(1);
        QCOMPARE(entries(dir), expected);
        for (const QString &name : expected)
            QCOMPARE(contents(dir.filePath(name)), stopAt == 0 ? "new " + name.toLatin1() : QByteArray("old"));
    }

    // A full disk: the system's reason, not a guess.
    void fullDiskSaysWhy()
    {
#if !VR480_TEST_POSIX
        QSKIP("a small tmpfs mounted: Linux");
#else
        QTemporaryDir dir;
        if (mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", 0, "size=16k") != 0)
            QSKIP("mounting a small tmpfs needs root");
        const auto unmount = qScopeGuard([&] { umount(QFile::encodeName(dir.path()).constData()); });
        {
            image::OutputFiles files;
            const image::FileResult added = files.add(dir.filePath("big.bin"), image::OutputFiles::writerOf(QByteArray(1 << 20, 'x')));
            QCOMPARE(added.status, image::FileStatus::CannotWrite);
            QCOMPARE(added.error, dir.filePath("big.bin") + ": No space left on device");
        }
        QCOMPARE(entries(dir), QStringList());
#endif
    }
};

QTEST_GUILESS_MAIN(TestOutputFiles)
#include "tst_outputfiles.moc"
