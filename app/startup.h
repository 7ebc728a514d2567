#pragma once
// What main does before it shows the window.

#include <QString>

class QTranslator;

// "Vr480 v3.00": the title the window carries whatever the locale.
QString windowTitle();

// Loads "vr480_" + localeName (for example vr480_pl_PL, shortened to vr480_pl
// when no such file exists) from the working directory, or else "vr480_en".
// Returns whether the first load succeeded; the translator is installed
// either way, empty when neither file exists.
bool loadTranslation(QTranslator &translator, const QString &localeName);
