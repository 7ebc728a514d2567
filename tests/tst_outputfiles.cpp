#include "image/outputfiles.h"

#include <QDir>
#include <QFile>
#include <QIODevice>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

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
        const mode_t mask = umask(027);
        {
            OutputFiles files;
            QVERIFY(files.add(dir.filePath("a.bin"), OutputFiles::bytes("first")));
            QVERIFY(files.add(dir.filePath("b.bin"), OutputFiles::bytes("second")));
            // Nothing is in place before the commit.
            QCOMPARE(contents(dir.filePath("b.bin")), QByteArray("old"));
            QCOMPARE(entries(dir).size(), 3);
            QVERIFY(files.commit());
            QVERIFY(files.errorString().isEmpty());
        }
        umask(mask);
        QCOMPARE(entries(dir), (QStringList{"a.bin", "b.bin"}));
        QCOMPARE(contents(dir.filePath("a.bin")), QByteArray("first"));
        QCOMPARE(contents(dir.filePath("b.bin")), QByteArray("second"));
        // A new file's usual permissions less the umask, not a temporary's 0600.
        QCOMPARE(QFile::permissions(dir.filePath("a.bin")),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser
                     | QFile::ReadGroup);
    }

    // Any failure leaves the folder as it was: no target, no temporary.
    void failureWritesNothing_data()
    {
        QTest::addColumn<QString>("second"); // name of the second file, in the folder
        QTest::addColumn<bool>("writerFails");
        QTest::addColumn<QString>("error"); // how errorString() ends
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
            OutputFiles files;
            QVERIFY(files.add(dir.filePath("a.bin"), OutputFiles::bytes("first")));
            QVERIFY(!files.add(dir.filePath(second), [&](QIODevice &file) {
                return file.write("partial") == 7 && !writerFails;
            }));
            QVERIFY2(files.errorString().endsWith(error), qPrintable(files.errorString()));
            QVERIFY(!files.add(dir.filePath("c.bin"), OutputFiles::bytes("third")));
            QVERIFY(!files.commit());
        }
        QCOMPARE(entries(dir), before);
        QCOMPARE(contents(dir.filePath("a.bin")), QByteArray("old"));
    }
};

QTEST_GUILESS_MAIN(TestOutputFiles)
#include "tst_outputfiles.moc"
