#include "app/startup.h"

#include <QTranslator>

QString windowTitle()
{
    return QStringLiteral("Vr480") + QStringLiteral(" v") + QStringLiteral(VR480_VERSION);
}

bool loadTranslation(QTranslator &translator, const QString &localeName)
{
    if (translator.load(QStringLiteral("vr480_") + localeName))
        return true;
    (void)translator.load(QStringLiteral("vr480_en"));
    return false;
}
