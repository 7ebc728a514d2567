#pragma once
// What the window's service slots share: their input dialogs and how they
// show results in the log.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

class QTextBrowser;
class QWidget;

namespace app {

// A one-line text dialog offering `offered` as the tools write hexadecimal
// numbers. False when cancelled.
bool askHexText(QWidget *parent, const QString &title, const QString &label, quint32 offered,
                QString &text);
// A length of 1 to 1 MiB; whatever the dialog gives back is remembered.
bool askLength(QWidget *parent, const QString &title, qint32 &remembered);
// The converted text is remembered even when it is not hexadecimal (then as
// 0, after a warning box).
bool convertHexText(QWidget *parent, const QString &text, quint32 &remembered);

// Replaces what the log holds with plain-text `blocks`, one paragraph each.
// The result is what clear() and one append() per block leave: the same text
// and formats, the cursor at the end, the view scrolled to the end. But the
// document changes once: appending a dump of a megabyte takes about six times
// as long.
void replaceLog(QTextBrowser *log, const QStringList &blocks);
QString dumpText(const QByteArray &data);
// A fresh log holding the dump of what was read, or "Read error".
void showRead(QTextBrowser *log, const std::optional<QByteArray> &data);

} // namespace app
