#pragma once
// The far end of a pseudo-terminal port for tests that need no radio: an interface cable that
// returns every byte (echo on), or a port with nothing attached (echo off). Records all it got.

#include "tools/pty.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <memory>

class EchoLine : public QObject {
public:
    explicit EchoLine(bool echo) : m_echo(echo)
    {
        m_notifier = std::make_unique<QSocketNotifier>(m_pty.masterFd(), QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
            const QByteArray got = m_pty.read(0, 0);
            m_received += got;
            if (m_echo)
                m_pty.write(got);
        });
    }
    QString device() const { return m_pty.slavePath(); }
    const QByteArray &received() const { return m_received; }
    PseudoTerminal &pty() { return m_pty; }

private:
    PseudoTerminal m_pty;
    bool m_echo;
    QByteArray m_received;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
