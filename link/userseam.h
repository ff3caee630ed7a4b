#pragma once
// Everything the user is told or asked goes through a seam: message boxes, questions and file
// dialogs. Each conversation speaks to the seam its owner lends it; the window lends the Qt one
// (app/userseam.h), the command line one that writes to standard error, tests a script.

#include <QPointer>
#include <QString>

// The application title: the title of every box, the first part of the dialogs' titles.
QString AppTitle();
void SetAppTitle(const QString &title);

// The status the program ends with when the user cancels an error report.
inline constexpr int kExitOnReportErrorCancel = 3;

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
    // The user cancelled an error report: with no conversation to hand the decision to, the
    // program ends at once, running no further code of its own.
    virtual void reportCancelled();
};

// The seam of the program's user: the one installed, else the default its front end set (the
// window sets the Qt one), else one that says each message on standard error and cancels
// every dialog.
UserSeam &userSeam();
// Installs a seam (not owned); nullptr puts the default back.
void setUserSeam(UserSeam *seam);
void setDefaultUserSeam(UserSeam *seam);

// While a conversation's handler runs, the routines it calls (the port routines, the file
// dialogs, the image-file object) speak to that conversation's user, not the program's:
// one scope a handler, restored when the handler returns.
class SpeakingSeam {
public:
    explicit SpeakingSeam(UserSeam &seam);
    ~SpeakingSeam();
    SpeakingSeam(const SpeakingSeam &) = delete;
    SpeakingSeam &operator=(const SpeakingSeam &) = delete;

private:
    UserSeam *m_previous;
};

// The seam of the running conversation handler, or the program's user outside one.
UserSeam &currentSeam();
