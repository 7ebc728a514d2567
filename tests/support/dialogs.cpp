#include "dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

QString describe(QWidget *w)
{
    if (auto *input = qobject_cast<QInputDialog *>(w)) {
        const QString head = input->windowTitle() + " / " + input->labelText() + " / ";
        if (input->inputMode() == QInputDialog::IntInput)
            return head + QStringLiteral("%1 in %2..%3 by %4").arg(input->intValue()).arg(input->intMinimum())
                              .arg(input->intMaximum()).arg(input->intStep());
        const QStringList items = input->comboBoxItems();
        if (!items.isEmpty())
            return head + input->textValue() + " of " + items.join(',')
                + (input->isComboBoxEditable() ? " (editable)" : "");
        return head + input->textValue() + (input->textEchoMode() == QLineEdit::Normal ? "" : " (hidden)");
    }
    if (auto *box = qobject_cast<QMessageBox *>(w)) {
        const QHash<int, QString> icons{{QMessageBox::Information, "information"},
                                        {QMessageBox::Warning, "warning"},
                                        {QMessageBox::Critical, "critical"}};
        return icons.value(box->icon(), "?") + ": " + box->windowTitle() + " / " + box->text()
            + (box->standardButtons() == QMessageBox::Ok ? "" : " (more buttons)");
    }
    if (auto *file = qobject_cast<QFileDialog *>(w))
        return QString(file->acceptMode() == QFileDialog::AcceptSave ? "save file: " : "file: ")
            + file->windowTitle() + " / " + file->nameFilters().join(';');
    return w->metaObject()->className();
}

namespace {

void reply(QWidget *w, const QVariant &value)
{
    auto *dialog = static_cast<QDialog *>(w);
    if (!value.isValid())
        return dialog->reject();
    if (auto *input = qobject_cast<QInputDialog *>(w)) {
        if (input->inputMode() == QInputDialog::IntInput)
            input->setIntValue(value.toInt());
        else
            input->setTextValue(value.toString());
    } else if (auto *file = qobject_cast<QFileDialog *>(w)) {
        // A file name field that has the focus keeps what is typed into it
        // and ignores selectFile(): the focus comes at a moment of the
        // window system's choosing, so it is taken away first.
        if (QWidget *focus = file->focusWidget())
            focus->clearFocus();
        file->selectFile(value.toString());
    } else if (auto *box = qobject_cast<QMessageBox *>(w)) {
        // The button of that name, "OK" or "Yes" say.
        for (QAbstractButton *button : box->buttons()) {
            if (button->text().remove(QLatin1Char('&')) == value.toString())
                return button->click();
        }
    }
    dialog->accept();
}

} // namespace

void answerDialogs(const std::function<void()> &action, const QList<Answer> &answers,
                   const std::function<void(QWidget *)> &inspect)
{
    QStringList expected, seen;
    for (const Answer &answer : answers)
        expected << answer.dialog;
    std::function<void()> poll = [&] {
        QWidget *w = QApplication::activeModalWidget();
        // A dialog already answered may still be closing; a property marks it.
        if (!w || w->property("answered").toBool())
            return;
        w->setProperty("answered", true);
        seen << describe(w);
        if (inspect)
            inspect(w);
        // An answer may open a dialog of its own (a confirmation) while this
        // timer waits for it: a fresh one finds that.
        QTimer nested;
        QObject::connect(&nested, &QTimer::timeout, poll);
        nested.start(5);
        reply(w, seen.size() <= answers.size() ? answers[seen.size() - 1].reply : kCancel);
    };
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, poll);
    timer.start(5);
    action();
    QCOMPARE(seen, expected);
}
