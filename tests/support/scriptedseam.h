#pragma once
// A user who answers from a script: records every box and dialog the tool shows, in order,
// and gives the queued answers. Installs itself for its lifetime.

#include "app/userseam.h"

#include <QList>
#include <QQueue>
#include <QString>
#include <functional>
#include <utility>

class ScriptedSeam final : public UserSeam {
public:
    enum class Kind { Message, Question, OpenDialog, SaveDialog };
    struct Shown {
        Kind kind;
        QString title;
        QString text;               // message text, or empty for dialogs
        FileDialogRequest request;  // dialogs only
    };

    ScriptedSeam() { setUserSeam(this); }
    ~ScriptedSeam() override { setUserSeam(nullptr); }

    // Answers, taken in order. A question with nothing queued is answered OK; a dialog with
    // nothing queued is cancelled.
    void answerQuestions(std::initializer_list<bool> okAnswers)
    {
        m_questions << QList<bool>(okAnswers);
    }
    void answerOpen(const QString &path) { m_openAnswers.enqueue(path); }  // empty path: cancel
    void answerSave(const QString &path) { m_saveAnswers.enqueue(path); }
    // Runs inside the next box or dialog, before it is answered (as the user would act while
    // it is up); used to check what the tool does while a modal dialog is open.
    void whileNextShown(std::function<void()> action) { m_hook = std::move(action); }

    const QList<Shown> &shown() const { return m_shown; }
    QStringList messages() const  // texts of the plain boxes and questions, in order
    {
        QStringList texts;
        for (const Shown &s : m_shown)
            if (s.kind == Kind::Message || s.kind == Kind::Question)
                texts << s.text;
        return texts;
    }
    void clear()
    {
        m_shown.clear(), m_questions.clear(), m_openAnswers.clear(), m_saveAnswers.clear();
        m_hook = nullptr;
    }

    void showMessage(const QString &title, const QString &text) override
    {
        show({Kind::Message, title, text, {}});
    }
    bool askOkCancel(const QString &title, const QString &text, bool) override
    {
        show({Kind::Question, title, text, {}});
        return answer(m_questions, true);
    }
    bool askYesNo(const QString &title, const QString &text) override
    {
        return askOkCancel(title, text, false);
    }
    QString openFileName(const FileDialogRequest &request) override
    {
        show({Kind::OpenDialog, request.title, {}, request});
        return answer(m_openAnswers, QString());
    }
    QString saveFileName(const FileDialogRequest &request) override
    {
        show({Kind::SaveDialog, request.title, {}, request});
        return answer(m_saveAnswers, QString());
    }

private:
    void show(const Shown &shown)
    {
        m_shown.append(shown);
        if (m_hook)
            std::exchange(m_hook, nullptr)();
    }
    template <typename T>
    static T answer(QQueue<T> &queue, T unscripted)
    {
        return queue.isEmpty() ? unscripted : queue.dequeue();
    }

    QList<Shown> m_shown;
    QQueue<bool> m_questions;
    QQueue<QString> m_openAnswers;
    QQueue<QString> m_saveAnswers;
    std::function<void()> m_hook;
};
