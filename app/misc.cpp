#include "app/misc.h"

#include "app/userseam.h"

#include <cstdlib>

namespace {
QString &appTitleStorage()
{
    static QString title = QStringLiteral("Replix ICOM Radio");
    return title;
}

struct Told {
    int count = 0;
    QString last;
};

Told &told()
{
    static Told record;
    return record;
}

void remember(const QString &message)
{
    ++told().count;
    told().last = message;
}
}  // namespace

QString AppTitle()
{
    return appTitleStorage();
}

void SetAppTitle(const QString &title)
{
    appTitleStorage() = title;
}

void ShowMessage(const QString &message)
{
    remember(message);
    userSeam().showMessage(AppTitle(), message);
}

void ReportError(const QString &message)
{
    remember(message);
    if (!userSeam().askOkCancel(AppTitle() + QStringLiteral(" Error"), message, true))
        std::_Exit(kExitOnReportErrorCancel);
}

int MessagesShown()
{
    return told().count;
}

QString LastMessage()
{
    return told().last;
}
