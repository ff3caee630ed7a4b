#include "tests/support/scriptedseam.h"

ScriptedSeam::ScriptedSeam() { setUserSeam(this); }

ScriptedSeam::~ScriptedSeam() { setUserSeam(nullptr); }

void ScriptedSeam::answerQuestions(std::initializer_list<bool> okAnswers)
{
    for (bool ok : okAnswers)
        m_questions.enqueue(ok);
}

void ScriptedSeam::answerOpen(const QString &path) { m_openAnswers.enqueue(path); }

void ScriptedSeam::answerSave(const QString &path) { m_saveAnswers.enqueue(path); }

void ScriptedSeam::whileNextShown(std::function<void()> action) { m_hook = std::move(action); }

QStringList ScriptedSeam::messages() const
{
    QStringList texts;
    for (const Shown &s : m_shown)
        if (s.kind == Kind::Message || s.kind == Kind::Question)
            texts << s.text;
    return texts;
}

void ScriptedSeam::clear()
{
    m_shown.clear();
    m_questions.clear();
    m_openAnswers.clear();
    m_saveAnswers.clear();
    m_hook = nullptr;
    m_unscripted = 0;
}

void ScriptedSeam::runHook()
{
    if (m_hook) {
        auto hook = std::move(m_hook);
        m_hook = nullptr;
        hook();
    }
}

void ScriptedSeam::showMessage(const QString &title, const QString &text)
{
    m_shown.append({Kind::Message, title, text, {}});
    runHook();
}

bool ScriptedSeam::askOkCancel(const QString &title, const QString &text, bool)
{
    m_shown.append({Kind::Question, title, text, {}});
    runHook();
    if (m_questions.isEmpty()) {
        ++m_unscripted;
        return true;
    }
    return m_questions.dequeue();
}

QString ScriptedSeam::openFileName(const FileDialogRequest &request)
{
    m_shown.append({Kind::OpenDialog, request.title, {}, request});
    runHook();
    if (m_openAnswers.isEmpty()) {
        ++m_unscripted;
        return {};
    }
    return m_openAnswers.dequeue();
}

QString ScriptedSeam::saveFileName(const FileDialogRequest &request)
{
    m_shown.append({Kind::SaveDialog, request.title, {}, request});
    runHook();
    if (m_saveAnswers.isEmpty()) {
        ++m_unscripted;
        return {};
    }
    return m_saveAnswers.dequeue();
}
