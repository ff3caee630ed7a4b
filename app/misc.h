#pragma once
// The two ways of telling the user something: a plain box, and a warning that offers to stop
// the program. Both are titled with the application title, and both speak to the user of the
// conversation whose handler runs (see link/userseam.h), or to the program's user outside one.

#include "link/userseam.h"

#include <QString>

// Modal box with an OK button and no icon; returns when the user has closed it.
void ShowMessage(const QString &message);
// Warning box with OK and Cancel. OK returns; Cancel is handed to whoever owns the seam: a
// conversation's owner decides, and with none the process ends at once, running no further
// code of the program (no unload, no clean-up).
void ReportError(const QString &message);
