#pragma once
// A user who answers from a script: records every box and dialog the tool shows, in order,
// and gives the queued answers. Installs itself for its lifetime.

#include "app/userseam.h"

#include <QList>
#include <QQueue>
#include <QString>
#include <functional>

class ScriptedSeam final : public UserSeam {
public:
    enum class Kind { Message, Question, OpenDialog, SaveDialog };
    struct Shown {
        Kind kind;
        QString title;
        QString text;               // message text, or empty for dialogs
        FileDialogRequest request;  // dialogs only
    };

    ScriptedSeam();
    ~ScriptedSeam() override;

    // Answers, taken in order. A question with nothing queued is answered OK; a dialog with
    // nothing queued is cancelled. Each of these counts as unscripted.
    void answerQuestions(std::initializer_list<bool> okAnswers);
    void answerOpen(const QString &path);   // empty path: cancel
    void answerSave(const QString &path);
    // Runs inside the next box or dialog, before it is answered (as the user would act while
    // it is up); used to check what the tool does while a modal dialog is open.
    void whileNextShown(std::function<void()> action);

    const QList<Shown> &shown() const { return m_shown; }
    QStringList messages() const;  // texts of the plain boxes and questions, in order
    int unscripted() const { return m_unscripted; }
    void clear();

    void showMessage(const QString &title, const QString &text) override;
    bool askOkCancel(const QString &title, const QString &text, bool warningIcon) override;
    QString openFileName(const FileDialogRequest &request) override;
    QString saveFileName(const FileDialogRequest &request) override;

private:
    void runHook();

    QList<Shown> m_shown;
    QQueue<bool> m_questions;
    QQueue<QString> m_openAnswers;
    QQueue<QString> m_saveAnswers;
    std::function<void()> m_hook;
    int m_unscripted = 0;
};
