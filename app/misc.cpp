#include "app/misc.h"

#include "app/userseam.h"

#include <cstdlib>

namespace {
QString &appTitleStorage()
{
    static QString title = QStringLiteral("Replix ICOM Radio");
    return title;
}
} // namespace

QString AppTitle() { return appTitleStorage(); }

void SetAppTitle(const QString &title) { appTitleStorage() = title; }

void ShowMessage(const QString &message) { userSeam().showMessage(AppTitle(), message); }

void ReportError(const QString &message)
{
    if (!userSeam().askOkCancel(AppTitle() + QStringLiteral(" Error"), message, true))
        std::_Exit(kExitOnReportErrorCancel);
}
