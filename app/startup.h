#pragma once
// What main does before it shows the window.

#include <QString>

class QTranslator;

namespace app {

// "Vr480 v3.00": the title the window carries whatever the locale.
QString windowTitle();

// The folder of the installed translations, found from the folder that holds
// the program (bin/ to share/vr480-bootloader/translations/ on Linux, the
// program's own folder on Windows), so that an installation under any
// prefix finds them.
QString installedTranslationDir(const QString &programDir);

// Loads "vr480_" + localeName (for example vr480_pl_PL, shortened to vr480_pl
// when no such file exists) from the working directory, or else from
// installedDir; failing both, "vr480_en" from the same two folders in the same
// order. Returns whether the locale's own translation was found; the
// translator is installed either way, empty when no file exists.
bool loadTranslation(QTranslator &translator, const QString &localeName, const QString &installedDir);

} // namespace app
