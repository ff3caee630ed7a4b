#pragma once
// File names as the system holds them: bytes. A name need not be UTF-8 (a file made under a
// Latin-1 locale, or copied from an old disk), and Qt's own file classes would turn its stray
// bytes into U+FFFD and so name another file. Here such a name is carried in a QString with
// each byte that is no part of valid UTF-8 as one lone low surrogate, U+DC00 + byte (a
// surrogate never comes from valid UTF-8), and given back to the system as the same byte.
// Every file the user names is opened, saved, looked at and removed through these.

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QString>

QString nameFromSystem(QByteArrayView bytes);
QByteArray systemName(const QString &name);
// The name as a message shows it: UTF-8, with each byte that is not as \xNN.
QByteArray shownBytes(const QString &text);
// The name made absolute against the current folder (kept as bytes too).
QString absoluteName(const QString &name);

struct NameStatus {
    bool exists = false;
    bool isFile = false;  // a regular file, after symbolic links
    bool isDir = false;
};
NameStatus statusOf(const QString &name);
bool removeName(const QString &name);
// Opens file for reading on the named file; false with reason set when the system refuses.
bool openForRead(QFile &file, const QString &name, QString *reason);
// The system's word for the last failure (errno).
QString systemReason(int error);

// A file written beside the name and put in its place only by commit, so a failed save never
// replaces an earlier file: the temporary file is synced, renamed over the name (over the
// target of a symbolic link, which stays) and the rename synced. An earlier file's permissions
// are kept. A save neither committed nor cancelled is cancelled when it goes.
class AtomicSave {
public:
    explicit AtomicSave(QString name) : m_name(std::move(name)) {}
    AtomicSave(const AtomicSave &) = delete;
    AtomicSave &operator=(const AtomicSave &) = delete;
    ~AtomicSave() { cancel(); }

    bool open();
    // Writes all of bytes, or fails; a failed write leaves the save to be cancelled.
    bool write(QByteArrayView bytes);
    bool commit();
    void cancel();
    bool isOpen() const { return m_handle >= 0; }
    const QString &name() const { return m_name; }
    QString errorString() const { return m_error; }

private:
    QString m_name;
    QByteArray m_target;     // where the rename goes
    QByteArray m_temporary;  // the file being written
    int m_handle = -1;
    QString m_error;
};
