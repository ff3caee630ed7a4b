#include "link/userseam.h"

#include <cstdio>
#include <cstdlib>

namespace {
// No front end: messages go to standard error, dialogs are cancelled, questions answered OK.
class PlainSeam final : public UserSeam {
public:
    void showMessage(const QString &title, const QString &text) override
    {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    }
    bool askOkCancel(const QString &title, const QString &text, bool) override
    {
        showMessage(title, text);
        return true;
    }
    QString openFileName(const FileDialogRequest &) override { return {}; }
    QString saveFileName(const FileDialogRequest &) override { return {}; }
};

QString &appTitleStorage()
{
    static QString title = QStringLiteral("Replix ICOM Radio");
    return title;
}

UserSeam *installedSeam = nullptr;
UserSeam *defaultSeam = nullptr;
UserSeam *speaking = nullptr;
}  // namespace

QString AppTitle()
{
    return appTitleStorage();
}

void SetAppTitle(const QString &title)
{
    appTitleStorage() = title;
}

void UserSeam::reportCancelled()
{
    std::_Exit(kExitOnReportErrorCancel);
}

UserSeam &userSeam()
{
    static PlainSeam plain;
    return installedSeam ? *installedSeam : defaultSeam ? *defaultSeam : plain;
}

void setUserSeam(UserSeam *seam)
{
    installedSeam = seam;
}

void setDefaultUserSeam(UserSeam *seam)
{
    defaultSeam = seam;
}

SpeakingSeam::SpeakingSeam(UserSeam &seam) : m_previous(speaking)
{
    speaking = &seam;
}

SpeakingSeam::~SpeakingSeam()
{
    speaking = m_previous;
}

UserSeam &currentSeam()
{
    return speaking ? *speaking : userSeam();
}
