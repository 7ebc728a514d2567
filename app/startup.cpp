#include "app/startup.h"

#include <QTranslator>

QString windowTitle()
{
    const QString version = QStringLiteral("3.00");
    return QStringLiteral("Vr480") + QStringLiteral(" v") + version;
}

bool loadTranslation(QTranslator &translator, const QString &localeName)
{
    if (translator.load(QStringLiteral("vr480_") + localeName))
        return true;
    (void)translator.load(QStringLiteral("vr480_en"));
    return false;
}
