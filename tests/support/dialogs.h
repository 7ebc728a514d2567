#pragma once
// Answering the modal dialogs of the window's slots, as a user would.

#include <QList>
#include <QStringList>
#include <QVariant>

#include <functional>

class QWidget;

// A dialog in one line:
//   "Title / Label / 5 in 1..9 by 1"       integer input (value, range, step)
//   "Title / Label / text"                 text input (" (hidden)" when echo is off)
//   "Title / Label / 26 of 25,26,27"       item input: current of the items
//                                          (" (editable)" when it is)
//   "critical: Title / text"               message box (information, warning,
//                                          critical; " (more buttons)" beyond OK)
//   "file: Title / Filter" or "save file: Title / Filter"
QString describe(QWidget *dialog);

// A dialog expected, as describe() puts it, and the reply: a number, a text or
// an item for an input dialog, a file name for a file dialog, a button's
// name ("OK", "Yes") for a box; kCancel cancels.
struct Answer {
    QString dialog;
    QVariant reply;
};
inline const QVariant kCancel;

// Runs `action` and answers the modal dialogs it opens, in order; a dialog
// past the last answer is cancelled. `inspect`, if given, sees each dialog
// before it is answered. Fails the current test unless the dialogs that came
// are exactly those of `answers`.
void answerDialogs(const std::function<void()> &action, const QList<Answer> &answers,
                   const std::function<void(QWidget *)> &inspect = {});
