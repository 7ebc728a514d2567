// The image layer's system side, on whichever system the test runs: streams
// read while a stop request can end the wait (inputsource.h), new files that
// never overwrite, their identity and the renames (filereplacement.h).

#include "filereplacement.h"
#include "inputfile.h"
#include "system.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

#if !VR480_TEST_POSIX
#include <windows.h>
#endif

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A stream read by name, written by a thread: a FIFO, or a named pipe on
// Windows. The writer sends `bytes`, then waits for release() to close.
class Stream {
public:
    Stream(const QString &folder, const QByteArray &bytes)
    {
#if !VR480_TEST_POSIX
        Q_UNUSED(folder);
        name = QStringLiteral("\\\\.\\pipe\\vr480-test-%1").arg(QRandomGenerator::global()->generate());
        const HANDLE pipe = CreateNamedPipeW(reinterpret_cast<const wchar_t *>(name.utf16()),
                                             PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
        writer = std::thread([this, pipe, bytes] {
            ConnectNamedPipe(pipe, nullptr); // once the reader has opened it
            DWORD written = 0;
            if (!bytes.isEmpty())
                WriteFile(pipe, bytes.constData(), DWORD(bytes.size()), &written, nullptr);
            FlushFileBuffers(pipe); // until the reader has it all
            holdUntilReleased();
            CloseHandle(pipe);
        });
#else
        name = folder + QStringLiteral("/stream");
        mkfifo(QFile::encodeName(name).constData(), 0600);
        writer = std::thread([this, bytes] {
            const int fd = ::open(QFile::encodeName(name).constData(), O_WRONLY); // once the reader has opened it
            if (!bytes.isEmpty()) {
                [[maybe_unused]] const ssize_t written = ::write(fd, bytes.constData(), size_t(bytes.size()));
            }
            holdUntilReleased();
            ::close(fd);
        });
#endif
    }
    ~Stream()
    {
        release();
        writer.join();
    }
    void release() { held = false; }

    QString name;

private:
    void holdUntilReleased()
    {
        while (held)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::atomic<bool> held{true};
    std::thread writer;
};

} // namespace

class TestSystemFiles : public QObject {
    Q_OBJECT

private slots:
    // A stream is read to its end once its writer closes it; a writer that
    // sends nothing keeps the read waiting until a stop request ends it.
    void streamRead_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("closed");
        QTest::newRow("sent, then closed") << QByteArray("first\nsecond\n") << true;
        QTest::newRow("nothing sent, kept open") << QByteArray() << false;
    }
    void streamRead()
    {
        QFETCH(QByteArray, sent);
        QFETCH(bool, closed);
        QTemporaryDir dir;
        Stream stream(dir.path(), sent);
        if (closed)
            stream.release();
        int asked = 0;
        const int stopAt = closed ? -1 : 5;
        const image::InputFile read = image::readInputFile(stream.name, 1024, [&] { return ++asked == stopAt; });
        QCOMPARE(read.result.status, closed ? image::FileStatus::Ok : image::FileStatus::Interrupted);
        QCOMPARE(read.bytes, sent);
        QCOMPARE(read.size, -1);
        if (!closed)
            QCOMPARE(asked, 5);
    }

    // A new file is never made over an existing name; what was written is
    // known by its identity until something else takes its name.
    void newFileIdentity_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("same");
        QTest::newRow("unchanged") << "" << true;
        QTest::newRow("another file in its place") << "file" << false;
        QTest::newRow("a folder in its place") << "folder" << false;
        QTest::newRow("gone") << "gone" << false;
    }
    void newFileIdentity()
    {
        QFETCH(QString, change);
        QFETCH(bool, same);
        QTemporaryDir dir;
        const QString name = dir.filePath("new.bin");
        const std::filesystem::path path = image::nativePath(name);
        image::FileIdentity identity;
        bool taken = true;
        QString reason;
        {
            QFile file;
            QVERIFY2(image::createNewFile(path, std::nullopt, file, &identity, &taken, &reason), qPrintable(reason));
            QVERIFY(!taken);
            QVERIFY(file.write("new") == 3);
            QVERIFY2(image::flushToDisk(file, &reason), qPrintable(reason));
        }
        {
            QFile again;
            image::FileIdentity other;
            QVERIFY(!image::createNewFile(path, std::nullopt, again, &other, &taken, &reason));
            QVERIFY(taken);
        }
        QCOMPARE(contents(name), QByteArray("new"));
        if (!change.isEmpty())
            QVERIFY(QFile::rename(name, dir.filePath("moved")));
        if (change == "file") {
            QFile file(name);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("new") == 3);
        }
        if (change == "folder")
            QVERIFY(QDir(dir.path()).mkdir("new.bin"));
        QCOMPARE(image::isFile(path, identity), same);
    }

    // A rename replaces an existing file in one step.
    void replaceExisting()
    {
        QTemporaryDir dir;
        for (const char *name : {"old.bin", "new.bin"}) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(name) > 0);
        }
        QString reason;
        QVERIFY2(image::replaceFile(image::nativePath(dir.filePath("new.bin")), image::nativePath(dir.filePath("old.bin")),
                                    &reason),
                 qPrintable(reason));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"old.bin"});
        QCOMPARE(contents(dir.filePath("old.bin")), QByteArray("new.bin"));
        QVERIFY(!image::replaceFile(image::nativePath(dir.filePath("new.bin")), image::nativePath(dir.filePath("old.bin")),
                                    &reason));
        QVERIFY(!reason.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSystemFiles)
#include "tst_systemfiles.moc"
