#pragma once
// The system's own words where the programs pass them on.

#include <QString>

// For a file that does not exist ("No such file or directory" on Linux).
QString noSuchFile();
