// libusb 0.1 over libusb-1.0 (libusb0/): every libusb-1.0 failure becomes the
// negative errno value libusb 0.1 on Linux gives for it, which callers test
// (EACCES for a device they may not open, ENOSYS for one without a usable
// driver) and print.

#include "usberrno.h"

#include <libusb.h>

#include <QtTest>

#include <cerrno>

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
    }
};

QTEST_GUILESS_MAIN(TestLibusb0)
#include "tst_libusb0.moc"
