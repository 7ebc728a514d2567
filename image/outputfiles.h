#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>

class QIODevice;

// Output files that appear complete and together, or not at all. add() writes
// one file under a temporary name next to its target and flushes it to the
// disk; commit() renames every one into place, replacing files of the same
// name. Temporaries not committed when the object goes are removed, so a
// failure at any point leaves neither a partial file nor a stray temporary.
class OutputFiles {
public:
    using Writer = std::function<bool(QIODevice &)>;

    OutputFiles() = default;
    ~OutputFiles();
    Q_DISABLE_COPY(OutputFiles)

    // False when the temporary cannot be made or `write` fails; the batch
    // then stays failed and commit() writes nothing.
    bool add(const QString &fileName, const Writer &write);
    bool commit();

    // A writer of `contents` as they are.
    static Writer bytes(const QByteArray &contents);

    // What went wrong, naming the file; empty while nothing has.
    QString errorString() const { return error; }

private:
    bool fail(const QString &fileName, const QString &reason);

    struct Entry {
        QString target;
        QString temporary;
    };
    QList<Entry> pending;
    QString error;
};
