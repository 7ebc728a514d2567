#include "startup.h"

#include <QDir>
#include <QTranslator>

namespace app {

QString windowTitle()
{
    return QStringLiteral("Vr480") + QStringLiteral(" v") + QStringLiteral(VR480_VERSION);
}

QString installedTranslationDir(const QString &programDir)
{
    return QDir::cleanPath(programDir + QLatin1Char('/') + QStringLiteral(VR480_TRANSLATIONS_FROM_PROGRAM));
}

bool loadTranslation(QTranslator &translator, const QString &localeName, const QString &installedDir)
{
    // An empty folder name is the working directory.
    const QString folders[] = {QString(), installedDir};
    const auto load = [&](const QString &name) {
        for (const QString &folder : folders) {
            if (translator.load(name, folder))
                return true;
        }
        return false;
    };
    if (load(QStringLiteral("vr480_") + localeName))
        return true;
    (void)load(QStringLiteral("vr480_en"));
    return false;
}

} // namespace app
