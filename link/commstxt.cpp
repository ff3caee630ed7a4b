#include "link/commstxt.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

int logLength(const QPlainTextEdit *box)
{
    // The document counts a closing paragraph separator that is not part of the text.
    return box->document()->characterCount() - 1;
}

bool logTakesText(const QPlainTextEdit *box)
{
    // Only the box's own setting counts: hiding its pane hides it too, yet it keeps logging.
    return !box->isHidden() || !box->testAttribute(Qt::WA_WState_ExplicitShowHide);
}

void DisplayText(QPlainTextEdit *box, const QString &text)
{
    if (!logTakesText(box))
        return;
    QTextDocument *doc = box->document();
    QTextCursor cursor(doc);
    const int length = logLength(box);
    if (length > kLogLimit) {
        // Cut from the front with a cursor: the cost follows the size of the cut, not of the
        // whole text.
        cursor.setPosition(0);
        cursor.setPosition(length - kLogLimit, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    cursor.movePosition(QTextCursor::End);
    QString entry = text;
    entry.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    cursor.insertText(entry);
    QScrollBar *bar = box->verticalScrollBar();
    bar->setValue(bar->maximum());
}
