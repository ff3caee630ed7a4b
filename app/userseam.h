#pragma once
// Everything the user is told or asked goes through this one seam: message boxes, questions
// and file dialogs. The Qt implementation is the only place that shows real dialogs; tests
// install a script instead.

#include "link/userseam.h"

// Qt's own boxes and file dialogs: the seam the window lends its conversation by default.
UserSeam &qtUserSeam();

// The program's user as installed when asked (userSeam()): what the window lends its
// conversation, so that a seam a test installs later is the one the transfer meets.
class ProgramUserSeam final : public UserSeam {
public:
    void showMessage(const QString &title, const QString &text) override
    {
        userSeam().showMessage(title, text);
    }
    bool askOkCancel(const QString &title, const QString &text, bool warningIcon) override
    {
        return userSeam().askOkCancel(title, text, warningIcon);
    }
    QString openFileName(const FileDialogRequest &request) override
    {
        return userSeam().openFileName(request);
    }
    QString saveFileName(const FileDialogRequest &request) override
    {
        return userSeam().saveFileName(request);
    }
    bool askYesNo(const QString &title, const QString &text) override
    {
        return userSeam().askYesNo(title, text);
    }
};
