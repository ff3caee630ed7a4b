#include "app/misc.h"

void ShowMessage(const QString &message)
{
    currentSeam().showMessage(AppTitle(), message);
}

void ReportError(const QString &message)
{
    UserSeam &seam = currentSeam();
    if (!seam.askOkCancel(AppTitle() + QStringLiteral(" Error"), message, true))
        seam.reportCancelled();
}
