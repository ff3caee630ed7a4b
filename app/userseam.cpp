#include "app/userseam.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace {

// The OFN_* flags the file dialogs are given; only these change what Qt's dialog does.
constexpr int kOfnOverwritePrompt = 0x2;
constexpr int kOfnFileMustExist = 0x1000;

QString runFileDialog(const FileDialogRequest &request, bool save)
{
    QFileDialog dialog(QApplication::activeWindow(), request.title, QString(), request.filter);
    // Qt's own dialog adds the default suffix before it asks about overwriting; a native one
    // may ask about the name as typed and then replace the file with the suffix unasked.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    if (save) {
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(request.defaultExt);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, !(request.flags & kOfnOverwritePrompt));
    } else {
        dialog.setFileMode((request.flags & kOfnFileMustExist) ? QFileDialog::ExistingFile
                                                                : QFileDialog::AnyFile);
    }
    if (!request.fileName.isEmpty())
        dialog.selectFile(request.fileName);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

class QtUserSeam final : public UserSeam {
public:
    void showMessage(const QString &title, const QString &text) override
    {
        QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok,
                        QApplication::activeWindow());
        box.exec();
    }

    bool askOkCancel(const QString &title, const QString &text, bool warningIcon) override
    {
        QMessageBox box(warningIcon ? QMessageBox::Warning : QMessageBox::NoIcon, title, text,
                        QMessageBox::Ok | QMessageBox::Cancel, QApplication::activeWindow());
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Cancel);
        return box.exec() == QMessageBox::Ok;
    }

    QString openFileName(const FileDialogRequest &request) override
    {
        return runFileDialog(request, false);
    }

    QString saveFileName(const FileDialogRequest &request) override
    {
        return runFileDialog(request, true);
    }
};

UserSeam *installedSeam = nullptr;

} // namespace

UserSeam &userSeam()
{
    static QtUserSeam qtSeam;
    return installedSeam ? *installedSeam : qtSeam;
}

void setUserSeam(UserSeam *seam) { installedSeam = seam; }
