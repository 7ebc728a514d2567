#include "servicedialogs.h"

#include "hexdump.h"
#include "servicetools.h"
#include "vr480_bootloader.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextBrowser>

namespace app {

bool askHexText(QWidget *parent, const QString &title, const QString &label, quint32 offered,
                QString &text)
{
    bool ok = false;
    text = QInputDialog::getText(parent, title, label, QLineEdit::Normal,
                                 ServiceTools::toHexText(offered), &ok);
    return ok;
}

bool askLength(QWidget *parent, const QString &title, qint32 &remembered)
{
    bool ok = false;
    remembered = QInputDialog::getInt(parent, title, VR480_Bootloader::tr("Length (dec)"), remembered,
                                      1, ServiceTools::kMaxLength, 1, &ok);
    return ok;
}

bool convertHexText(QWidget *parent, const QString &text, quint32 &remembered)
{
    bool ok = false;
    remembered = ServiceTools::fromHexText(text, &ok);
    if (!ok)
        QMessageBox::warning(parent, VR480_Bootloader::tr("error"),
                             VR480_Bootloader::tr("Conversion error"));
    return ok;
}

void replaceLog(QTextBrowser *log, const QStringList &blocks)
{
    log->clear();
    log->document()->setPlainText(blocks.join(QLatin1Char('\n')));
    QScrollBar *bar = log->verticalScrollBar();
    bar->setValue(bar->maximum());
}

QString dumpText(const QByteArray &data)
{
    return QString::fromLatin1(HexDump(data.constData(), int(data.size())));
}

void showRead(QTextBrowser *log, const std::optional<QByteArray> &data)
{
    replaceLog(log, {data ? dumpText(*data) : VR480_Bootloader::tr("Read error")});
}

} // namespace app
