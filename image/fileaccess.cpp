#include "image/fileaccess.h"

#include "app/misc.h"
#include "app/userseam.h"

#include <QStringList>

namespace {

FileDialogRequest requestFrom(const CommonDialog &dialog)
{
    FileDialogRequest request;
    request.title = dialog.DialogTitle;
    request.fileName = dialog.FileName;
    request.filter = qtFilterFromClassic(dialog.Filter);
    request.flags = dialog.Flags;
    request.defaultExt = dialog.DefaultExt;
    return request;
}

// Runs one dialog; cancel, an empty name and any failure all end as false with an empty path.
template <typename Show>
bool runDialog(QString &path, Show show)
{
    try {
        show();
    } catch (...) {
        path.clear();
        return false;
    }
    return !path.isEmpty();
}

} // namespace

void CommonDialog::ShowOpen() { FileName = userSeam().openFileName(requestFrom(*this)); }

void CommonDialog::ShowSave() { FileName = userSeam().saveFileName(requestFrom(*this)); }

QString qtFilterFromClassic(const QString &classicFilter)
{
    const QStringList parts = classicFilter.split(u'|');
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        // Classic patterns are separated by ";", Qt's by spaces.
        QString patterns = parts[i + 1].trimmed();
        patterns.replace(u';', u' ');
        if (patterns.isEmpty())
            continue;
        const QString description = parts[i].trimmed();
        entries << (description.isEmpty() ? QStringLiteral("(%1)").arg(patterns)
                                          : QStringLiteral("%1 (%2)").arg(description, patterns));
    }
    return entries.join(QStringLiteral(";;"));
}

bool ShowOpenDialog(QString &path, const QString &filter, CommonDialog &dialog)
{
    path.clear();
    return runDialog(path, [&] {
        dialog.DialogTitle = AppTitle() + QStringLiteral("   Open file");
        dialog.FileName.clear();
        dialog.Filter = filter;
        dialog.Flags = kIcfDialogFlags;
        dialog.ShowOpen();
        path = dialog.FileName;
    });
}

bool ShowSaveDialog(QString &path, const QString &filter, CommonDialog &dialog)
{
    const QString offered = path;
    path.clear();  // a cancel gives an empty path even though a name was offered
    return runDialog(path, [&] {
        dialog.DefaultExt = QStringLiteral("icf");
        dialog.DialogTitle = AppTitle() + QStringLiteral("   Save file");
        dialog.FileName = offered;
        dialog.Filter = filter;
        dialog.Flags = kIcfDialogFlags;
        dialog.ShowSave();
        path = dialog.FileName;
    });
}
