#pragma once
// Everything the user is told or asked goes through this one seam: message boxes, questions
// and file dialogs. The Qt implementation is the only place that shows real dialogs; tests
// install a script instead.

#include <QObject>
#include <QPointer>
#include <QString>

struct FileDialogRequest {
    QString title;
    QString fileName;    // offered name (save) or empty (open)
    QString filter;      // in Qt's form, e.g. "(*.icf)"
    int flags = 0;       // the classic OFN_* flag word
    QString defaultExt;  // save only: added to a name typed without an extension
    // Where the seam may keep the dialog it builds, to show it again for the next request;
    // whoever holds this deletes what is kept. Null: a dialog for this request only.
    QPointer<QObject> *keep = nullptr;
};

class UserSeam {
public:
    virtual ~UserSeam() = default;
    // A modal box with one OK button; returns when the user has closed it.
    virtual void showMessage(const QString &title, const QString &text) = 0;
    // A modal box with OK and Cancel; true for OK. Closing the box counts as Cancel.
    virtual bool askOkCancel(const QString &title, const QString &text, bool warningIcon) = 0;
    // A modal warning with Yes and No, No the default; true for Yes. Closing the box counts as
    // No. Where nobody can be asked, OK and Cancel stand in.
    virtual bool askYesNo(const QString &title, const QString &text)
    {
        return askOkCancel(title, text, true);
    }
    // The chosen path, or an empty string when the user cancelled.
    virtual QString openFileName(const FileDialogRequest &request) = 0;
    virtual QString saveFileName(const FileDialogRequest &request) = 0;
};

// The seam in force: the Qt one unless a test has installed its own.
UserSeam &userSeam();
// Installs a seam (not owned); nullptr puts the Qt seam back.
void setUserSeam(UserSeam *seam);
