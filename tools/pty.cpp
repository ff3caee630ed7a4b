#include "tools/pty.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        return;
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        closeMaster();
        return;
    }
    const char *name = ::ptsname(m_master);
    if (!name) {
        closeMaster();
        return;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave >= 0) {
        termios tio{};
        if (::tcgetattr(m_slave, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(m_slave, TCSANOW, &tio);
        }
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

PseudoTerminal::~PseudoTerminal()
{
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

void PseudoTerminal::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool PseudoTerminal::slaveHasUnread() const
{
    // poll, not FIONREAD: poll first lets the kernel move what the master wrote into the
    // slave's input queue, which FIONREAD alone may not count yet.
    pollfd p{m_slave, POLLIN, 0};
    return m_slave >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool PseudoTerminal::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            return false;
        }
    }
    return done == bytes.size();
}

QByteArray PseudoTerminal::read(int timeoutMs, int settleMs)
{
    QByteArray got;
    int wait = timeoutMs;
    while (m_master >= 0) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, wait) <= 0 || !(p.revents & POLLIN))
            break;
        char buf[4096];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, n);
        wait = settleMs;
    }
    return got;
}

PortFolder::PortFolder()
{
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/replix-ports-XXXXXX"));
    dir.setAutoRemove(false);
    m_path = dir.path();
}

PortFolder::~PortFolder()
{
    if (!m_path.isEmpty())
        QDir(m_path).removeRecursively();
}

bool PortFolder::publish(int portNumber, const QString &target)
{
    const QString link = m_path + QStringLiteral("/COM%1").arg(portNumber);
    QFile::remove(link);
    return QFile::link(target, link);
}

void PortFolder::unpublish(int portNumber)
{
    QFile::remove(m_path + QStringLiteral("/COM%1").arg(portNumber));
}

void PortFolder::makeCurrent() const
{
    qputenv("REPLIX_PORT_DIR", m_path.toLocal8Bit());
}
