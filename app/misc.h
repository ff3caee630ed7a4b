#pragma once
// The two ways of telling the user something: a plain box, and a warning that offers to stop
// the program. Both are titled with the application title.

#include <QString>

inline constexpr int kExitOnReportErrorCancel = 3;

QString AppTitle();
void SetAppTitle(const QString &title);

// Modal box with an OK button and no icon; returns when the user has closed it.
void ShowMessage(const QString &message);
// Warning box with OK and Cancel. OK returns; Cancel ends the process at once, running no
// further code of the program (no unload, no clean-up).
void ReportError(const QString &message);

// How many boxes of either kind have been shown in this run, and the text of the last one: the
// window tells assistive technology how a transfer ended by whether a box told the user.
int MessagesShown();
QString LastMessage();
