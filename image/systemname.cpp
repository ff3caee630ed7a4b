#include "image/systemname.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char16_t kCarried = 0xDC00;  // + a byte that is no part of valid UTF-8

// The length of the valid UTF-8 sequence at bytes[i], or 0 when the byte there starts none
// (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF, cut short).
qsizetype sequenceAt(QByteArrayView bytes, qsizetype i)
{
    const auto at = [&](qsizetype k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char lead = at(i);
    if (lead < 0x80)
        return 1;
    qsizetype length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;  // overlong below
        else if (lead == 0xED)
            high = 0x9F;  // surrogates above
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;  // past U+10FFFF above
    } else {
        return 0;
    }
    if (i + length > bytes.size() || at(i + 1) < low || at(i + 1) > high)
        return 0;
    for (qsizetype k = 2; k < length; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF)
            return 0;
    return length;
}

// Calls carried(byte) for each carried byte of name and text(part) for each run between.
template <typename Carried, typename Text>
void splitCarried(const QString &name, Carried carried, Text text)
{
    qsizetype start = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            ++i;  // a pair: one character of its own
            continue;
        }
        if (c < kCarried + 0x80 || c > kCarried + 0xFF)
            continue;
        text(QStringView(name).sliced(start, i - start));
        carried(char(c - kCarried));
        start = i + 1;
    }
    text(QStringView(name).sliced(start));
}

}  // namespace

QString nameFromSystem(QByteArrayView bytes)
{
    QString name;
    name.reserve(bytes.size());
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size();) {
        if (const qsizetype length = sequenceAt(bytes, i); length > 0) {
            i += length;
            continue;
        }
        name += QString::fromUtf8(bytes.sliced(start, i - start));
        name += QChar(char16_t(kCarried + static_cast<unsigned char>(bytes[i])));
        start = ++i;
    }
    return name + QString::fromUtf8(bytes.sliced(start));
}

QByteArray systemName(const QString &name)
{
    QByteArray bytes;
    splitCarried(
        name, [&](char byte) { bytes += byte; }, [&](QStringView part) { bytes += part.toUtf8(); });
    return bytes;
}

QByteArray shownBytes(const QString &text)
{
    QByteArray bytes;
    splitCarried(
        text,
        [&](char byte) {
            bytes += "\\x" + QByteArray::number(static_cast<unsigned char>(byte), 16).toUpper();
        },
        [&](QStringView part) { bytes += part.toUtf8(); });
    return bytes;
}

QString absoluteName(const QString &name)
{
    if (name.startsWith(u'/'))
        return name;
    char *here = ::getcwd(nullptr, 0);
    if (!here)
        return name;
    QString folder = nameFromSystem(here);
    std::free(here);
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return folder + (name.startsWith(QLatin1String("./")) ? name.sliced(2) : name);
}

NameStatus statusOf(const QString &name)
{
    NameStatus status;
    struct stat info {};
    if (::stat(systemName(name).constData(), &info) != 0)
        return status;
    status.exists = true;
    status.isFile = S_ISREG(info.st_mode);
    status.isDir = S_ISDIR(info.st_mode);
    return status;
}

bool removeName(const QString &name)
{
    return ::unlink(systemName(name).constData()) == 0;
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool openForRead(QFile &file, const QString &name, QString *reason)
{
    int handle = -1;
    do {
        handle = ::open(systemName(name).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0) {
        *reason = systemReason(errno);
        return false;
    }
    // Blocking again for the reads: O_NONBLOCK only kept a FIFO's open from waiting.
    ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(handle, QIODevice::ReadOnly | QIODevice::Unbuffered,
                   QFileDevice::AutoCloseHandle)) {
        *reason = file.errorString();
        ::close(handle);
        return false;
    }
    return true;
}

bool AtomicSave::open()
{
    if (m_handle >= 0)
        return true;
    m_error.clear();
    m_target = systemName(m_name);
    // Through a symbolic link the file it names is replaced; the link stays.
    struct stat link {};
    if (::lstat(m_target.constData(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char *resolved = ::realpath(m_target.constData(), nullptr)) {
            m_target = resolved;
            std::free(resolved);
        }
    }
    struct stat existing {};
    mode_t mode = 0;
    if (::stat(m_target.constData(), &existing) == 0) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    m_temporary = m_target + ".XXXXXX";
    m_handle = ::mkostemp(m_temporary.data(), O_CLOEXEC);
    if (m_handle < 0) {
        m_error = systemReason(errno);
        m_temporary.clear();
        return false;
    }
    ::fchmod(m_handle, mode);
    return true;
}

bool AtomicSave::write(QByteArrayView bytes)
{
    if (m_handle < 0) {
        m_error = systemReason(EBADF);
        return false;
    }
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(m_handle, bytes.data() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_error = systemReason(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += n;
    }
    return true;
}

bool AtomicSave::commit()
{
    if (m_handle < 0) {
        if (m_error.isEmpty())
            m_error = systemReason(EBADF);
        return false;
    }
    // The data must be on disk before the rename, or a crash could leave an empty file in
    // place of the earlier one.
    const bool synced = ::fsync(m_handle) == 0;
    int error = errno;
    const bool closed = ::close(m_handle) == 0;
    if (synced && !closed)
        error = errno;
    m_handle = -1;
    if (!synced || !closed || ::rename(m_temporary.constData(), m_target.constData()) != 0) {
        m_error = systemReason(synced && closed ? errno : error);
        ::unlink(m_temporary.constData());
        m_temporary.clear();
        return false;
    }
    m_temporary.clear();
    // Make the rename itself durable. Best effort: the new file is in place either way.
    const qsizetype slash = m_target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : m_target.left(qMax(slash, 1));
    if (const int handle = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        handle >= 0) {
        ::fsync(handle);
        ::close(handle);
    }
    return true;
}

void AtomicSave::cancel()
{
    if (m_handle >= 0) {
        ::close(m_handle);
        m_handle = -1;
    }
    if (!m_temporary.isEmpty()) {
        ::unlink(m_temporary.constData());
        m_temporary.clear();
    }
}
