#pragma once
// The conversation log: the one way to append to the conversation box.

#include <QString>

class QPlainTextEdit;

// The log keeps its last kLogLimit characters: before an append, a longer text is cut from
// the front back to that size, so it may exceed the limit by one entry.
inline constexpr int kLogLimit = 65536;

// Appends text at the end of the box and scrolls the end into view; does nothing when the
// box itself is set hidden (a box hidden only because its pane is hidden still takes text).
// A CR LF in the text is one line break in the box.
void DisplayText(QPlainTextEdit *box, const QString &text);
// Whether DisplayText appends to the box: a caller may skip building a text nobody sees.
bool logTakesText(const QPlainTextEdit *box);
// The number of characters the log holds (a line break counts as one).
int logLength(const QPlainTextEdit *box);
