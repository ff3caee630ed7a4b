#include "image/fileaccess.h"

#include "link/userseam.h"

#include <QStringList>

namespace {

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

}  // namespace

FileDialogRequest CommonDialog::request()
{
    FileDialogRequest request;
    request.title = DialogTitle;
    request.fileName = FileName;
    request.filter = qtFilterFromClassic(Filter);
    request.flags = Flags;
    request.defaultExt = DefaultExt;
    request.keep = &m_shownDialog;
    return request;
}

void CommonDialog::ShowOpen()
{
    FileName = currentSeam().openFileName(request());
}

void CommonDialog::ShowSave()
{
    FileName = currentSeam().saveFileName(request());
}

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
        const QString inParentheses = QStringLiteral("(%1)").arg(patterns);
        entries << (description.endsWith(inParentheses)
                        ? description
                        : QString(description + u' ' + inParentheses).trimmed());
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
