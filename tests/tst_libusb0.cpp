// libusb 0.1 over libusb-1.0 (libusb0/): every libusb-1.0 failure becomes the
// negative errno value libusb 0.1 on Linux gives for it, which callers test
// (EACCES for a device they may not open, ENOSYS for one without a usable
// driver) and print; and a scan reads the system once.

#include "usberrno.h"

#include <libusb.h>
#include <usb.h>

#include <QtTest>

#include <cerrno>

// libusb_init as the test plays it (the linker's --wrap): each reading of the
// system, which begins with a context of its own, is counted, and fails.
int readings = 0;
extern "C" int LIBUSB_CALL __wrap_libusb_init(libusb_context **context)
{
    ++readings;
    *context = nullptr;
    return LIBUSB_ERROR_OTHER;
}

class TestLibusb0 : public QObject {
    Q_OBJECT

private slots:
    void errnoOfError_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("expected");
        const struct {
            int error;
            int expected;
        } cases[] = {
            {LIBUSB_ERROR_IO, -EIO},           {LIBUSB_ERROR_INVALID_PARAM, -EINVAL},
            {LIBUSB_ERROR_ACCESS, -EACCES},    {LIBUSB_ERROR_NO_DEVICE, -ENODEV},
            {LIBUSB_ERROR_NOT_FOUND, -ENOENT}, {LIBUSB_ERROR_BUSY, -EBUSY},
            {LIBUSB_ERROR_TIMEOUT, -ETIMEDOUT}, {LIBUSB_ERROR_OVERFLOW, -EOVERFLOW},
            {LIBUSB_ERROR_PIPE, -EPIPE},       {LIBUSB_ERROR_INTERRUPTED, -EINTR},
            {LIBUSB_ERROR_NO_MEM, -ENOMEM},    {LIBUSB_ERROR_NOT_SUPPORTED, -ENOSYS},
            {LIBUSB_ERROR_OTHER, -EIO},        {-50, -EIO}, // a code of a later libusb-1.0
        };
        for (const auto &c : cases)
            QTest::newRow(libusb_error_name(c.error)) << c.error << c.expected;
    }

    void errnoOfError()
    {
        QFETCH(int, error);
        QFETCH(int, expected);
        QCOMPARE(usbErrno(error), expected);
        // WinUSB's refusal of a configuration: a plain failure, not a missing driver.
        QCOMPARE(configurationErrno(error), error == LIBUSB_ERROR_NOT_SUPPORTED ? -EIO : expected);
    }

    // usb_find_busses() and the usb_find_devices() after it share one
    // reading; usb_find_devices() alone reads anew.
    void readingsPerScan_data()
    {
        QTest::addColumn<QByteArray>("calls"); // b: usb_find_busses, d: usb_find_devices
        QTest::addColumn<int>("expected");
        QTest::newRow("a scan") << QByteArray("bd") << 1;
        QTest::newRow("two scans") << QByteArray("bdbd") << 2;
        QTest::newRow("devices again after a scan") << QByteArray("bdd") << 2;
    }
    void readingsPerScan()
    {
        QFETCH(QByteArray, calls);
        QFETCH(int, expected);
        readings = 0;
        for (const char call : calls)
            QCOMPARE(call == 'b' ? usb_find_busses() : usb_find_devices(), -EIO);
        QCOMPARE(readings, expected);
    }
};

QTEST_GUILESS_MAIN(TestLibusb0)
#include "tst_libusb0.moc"
