#include "app/userseam.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QHash>
#include <QIdentityProxyModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmapCache>
#include <QStyle>

namespace {

// The OFN_* flags the file dialogs are given; only these change what Qt's dialog does.
constexpr int kOfnOverwritePrompt = 0x2;
constexpr int kOfnPathMustExist = 0x800;
constexpr int kOfnFileMustExist = 0x1000;

// Every icon the style makes anew leaves its rendering in the application's pixmap cache under
// a key of its own, and nothing ever asks for that key again: a new icon for every box, button
// or dialog piles up there for the whole run. Icons are therefore made once and used again.

// The style's icon at this size, rendered once and kept in the pixmap cache under one key.
QPixmap steadyPixmap(QStyle::StandardPixmap which, const QWidget *widget, int size)
{
    const QString key = QStringLiteral("replix-icon-%1-%2-%3")
                            .arg(int(which))
                            .arg(size)
                            .arg(widget->devicePixelRatio());
    QPixmap pixmap;
    if (!QPixmapCache::find(key, &pixmap)) {
        pixmap = widget->style()
                     ->standardIcon(which, nullptr, widget)
                     .pixmap(QSize(size, size), widget->devicePixelRatio());
        QPixmapCache::insert(key, pixmap);
    }
    return pixmap;
}

// Buttons that the style gives icons (on some desktops) get the steady ones, before they are
// first painted.
void steadyButtonIcons(QDialogButtonBox *buttons)
{
    if (!buttons)
        return;
    for (QAbstractButton *button : buttons->buttons()) {
        QStyle::StandardPixmap which;
        switch (buttons->standardButton(button)) {
        case QDialogButtonBox::Ok: which = QStyle::SP_DialogOkButton; break;
        case QDialogButtonBox::Cancel: which = QStyle::SP_DialogCancelButton; break;
        case QDialogButtonBox::Yes: which = QStyle::SP_DialogYesButton; break;
        case QDialogButtonBox::No: which = QStyle::SP_DialogNoButton; break;
        case QDialogButtonBox::Open: which = QStyle::SP_DialogOpenButton; break;
        case QDialogButtonBox::Save: which = QStyle::SP_DialogSaveButton; break;
        default: continue;
        }
        if (!button->icon().isNull())
            button->setIcon(steadyPixmap(which, button, button->iconSize().width()));
    }
}

// File and port names go into messages as they are: they must never be read as markup.
int execBox(const QString &title, const QString &text, QMessageBox::StandardButtons buttons,
            QMessageBox::StandardButton defaultButton, bool warningIcon, QWidget *parent)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    box.setAccessibleName(title.simplified());  // a run of spaces in a title is no pause to hear
    if (warningIcon)
        box.setIconPixmap(
            steadyPixmap(QStyle::SP_MessageBoxWarning, &box,
                         box.style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, &box)));
    steadyButtonIcons(box.findChild<QDialogButtonBox *>());
    box.setDefaultButton(defaultButton);
    if (buttons.testFlag(QMessageBox::Cancel))
        box.setEscapeButton(QMessageBox::Cancel);
    return box.exec();
}

// One icon of each kind for the life of the dialog; the stock provider makes a new icon for
// every file it looks at, and the dialog looks again whenever its folder changes.
class SteadyIconProvider final : public QObject, public QFileIconProvider {
public:
    using QObject::QObject;
    QIcon icon(IconType type) const override
    {
        QIcon &icon = m_icons[type];
        if (icon.isNull())
            icon = QFileIconProvider::icon(type);
        return icon;
    }
    QIcon icon(const QFileInfo &info) const override
    {
        return icon(info.isRoot() ? Drive : info.isDir() ? Folder : File);
    }

private:
    mutable QHash<int, QIcon> m_icons;
};

// The file model hands the detail view's header a new image at every paint, and each leaves
// its rendering in the pixmap cache; the header is given one icon for good instead.
class SteadyHeaderModel final : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        QVariant data = QIdentityProxyModel::headerData(section, orientation, role);
        if (role != Qt::DecorationRole || data.typeId() != QMetaType::QImage)
            return data;
        QIcon &icon = m_icons[section];
        if (icon.isNull())
            icon = QIcon(QPixmap::fromImage(data.value<QImage>()));
        return icon;
    }

private:
    mutable QHash<int, QIcon> m_icons;
};

// Qt's own dialog, kept by the common dialog control for the whole run and used again for
// every request. It checks the chosen name itself before it lets the dialog close.
class IcfFileDialog final : public QFileDialog {
public:
    IcfFileDialog()
    {
        // Qt's own dialog adds the default suffix before the name is checked; a native one
        // may check the name as typed and then replace the file with the suffix unasked.
        setOption(QFileDialog::DontUseNativeDialog);
        // The overwrite question is asked in accept(), after the folder check.
        setOption(QFileDialog::DontConfirmOverwrite);
        // A child of the dialog: it goes after the dialog's file model, which uses it.
        setIconProvider(new SteadyIconProvider(this));
        setProxyModel(new SteadyHeaderModel(this));
    }

    QString run(const FileDialogRequest &request, bool save)
    {
        setParent(QApplication::activeWindow(), windowFlags());
        setWindowTitle(request.title);
        // Spoken as words: the title's run of spaces is no pause a listener needs.
        setAccessibleName(request.title.simplified());
        setNameFilter(request.filter);
        setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        steadyButtonIcons(findChild<QDialogButtonBox *>(QStringLiteral("buttonBox")));
        setFileMode(save || !(request.flags & kOfnFileMustExist) ? QFileDialog::AnyFile
                                                                 : QFileDialog::ExistingFile);
        setDefaultSuffix(save ? request.defaultExt : QString());
        m_confirmOverwrite = save && (request.flags & kOfnOverwritePrompt);
        m_pathMustExist = request.flags & kOfnPathMustExist;
        // Neither the name typed last time nor the file picked last time may count again.
        if (auto *edit = findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
            edit->clear();
        if (auto *files = findChild<QAbstractItemView *>(QStringLiteral("listView")))
            files->selectionModel()->clearSelection();
        if (!request.fileName.isEmpty())
            selectFile(request.fileName);
        if (exec() != QDialog::Accepted)
            return {};
        const QStringList files = selectedFiles();
        return files.isEmpty() ? QString() : files.first();
    }

protected:
    void accept() override
    {
        // The name typed may still have its completion list open: closed with the dialog, it
        // keeps the window system from giving the main window back its activation, and a
        // screen reader then hears nothing of the transfer that follows.
        if (auto *edit = findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
            if (QCompleter *completer = edit->completer(); completer && completer->popup())
                completer->popup()->hide();
        const QStringList files = selectedFiles();
        const QFileInfo chosen(files.value(0));
        if (!files.isEmpty() && !chosen.isDir()) {
            if (m_pathMustExist && !chosen.absoluteDir().exists()) {
                execBox(windowTitle(),
                        QFileDialog::tr("%1\nDirectory not found.\nPlease verify the correct "
                                        "directory name was given.")
                            .arg(QDir::toNativeSeparators(chosen.absolutePath())),
                        QMessageBox::Ok, QMessageBox::Ok, true, this);
                return;
            }
            // Qt's own refusal would show the name as rich text.
            if (fileMode() == QFileDialog::ExistingFile && !chosen.exists()) {
                execBox(windowTitle(),
                        QFileDialog::tr("%1\nFile not found.\nPlease verify the correct file "
                                        "name was given.")
                            .arg(chosen.fileName()),
                        QMessageBox::Ok, QMessageBox::Ok, true, this);
                return;
            }
            if (m_confirmOverwrite && chosen.exists()
                && execBox(windowTitle(),
                           QFileDialog::tr("%1 already exists.\nDo you want to replace it?")
                               .arg(chosen.fileName()),
                           QMessageBox::Yes | QMessageBox::No, QMessageBox::No, true, this)
                       != QMessageBox::Yes)
                return;
        }
        QFileDialog::accept();
    }

private:
    bool m_confirmOverwrite = false;
    bool m_pathMustExist = false;
};

QString runFileDialog(const FileDialogRequest &request, bool save)
{
    if (!request.keep)
        return IcfFileDialog().run(request, save);
    auto *dialog = dynamic_cast<IcfFileDialog *>(request.keep->data());
    if (!dialog) {
        dialog = new IcfFileDialog;
        *request.keep = dialog;
    }
    return dialog->run(request, save);
}

class QtUserSeam final : public UserSeam {
public:
    void showMessage(const QString &title, const QString &text) override
    {
        execBox(title, text, QMessageBox::Ok, QMessageBox::Ok, false, QApplication::activeWindow());
    }

    bool askOkCancel(const QString &title, const QString &text, bool warningIcon) override
    {
        return execBox(title, text, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok,
                       warningIcon, QApplication::activeWindow())
               == QMessageBox::Ok;
    }

    bool askYesNo(const QString &title, const QString &text) override
    {
        return execBox(title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No, true,
                       QApplication::activeWindow())
               == QMessageBox::Yes;
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

}  // namespace

UserSeam &qtUserSeam()
{
    static QtUserSeam seam;
    return seam;
}
