#include "serial/networktransport.h"

#include "serial/portnamespace.h"

#include <QTcpSocket>
#include <QUrl>

#include <algorithm>

using namespace Telnet;

namespace {

// The com port option's commands; the server answers each with its code + 100.
namespace ComPort {
inline constexpr quint8 kSetBaudRate = 1;
inline constexpr quint8 kSetDataSize = 2;
inline constexpr quint8 kSetParity = 3;
inline constexpr quint8 kSetStopSize = 4;
inline constexpr quint8 kSetControl = 5;
inline constexpr quint8 kNotifyLineState = 6;
inline constexpr quint8 kNotifyModemState = 7;
inline constexpr quint8 kSetLineStateMask = 10;
inline constexpr quint8 kPurgeData = 12;
inline constexpr quint8 kServerOffset = 100;
// SET-CONTROL values.
inline constexpr quint8 kNoFlowControl = 1, kXonXoff = 2, kHardwareFlow = 3;
inline constexpr quint8 kDtrOn = 8, kDtrOff = 9, kRtsOn = 11, kRtsOff = 12;
inline constexpr quint8 kPurgeBoth = 3;
// Line-state bits the line events come from.
inline constexpr quint8 kBreak = 0x10, kFraming = 0x08, kParity = 0x04, kOverrun = 0x02;
}  // namespace ComPort

constexpr quint8 kBinaryBit = 1, kComPortBit = 2;

quint8 bitOf(quint8 option)
{
    return option == kBinary ? kBinaryBit : option == kComPort ? kComPortBit : 0;
}

quint8 parityCode(LineSettings::Parity parity)
{
    switch (parity) {
    case LineSettings::Parity::Odd: return 2;
    case LineSettings::Parity::Even: return 3;
    case LineSettings::Parity::Mark: return 4;
    case LineSettings::Parity::Space: return 5;
    default: return 1;
    }
}

quint8 stopCode(LineSettings::StopBits stop)
{
    switch (stop) {
    case LineSettings::StopBits::Two: return 2;
    case LineSettings::StopBits::OneAndHalf: return 3;
    default: return 1;
    }
}

QByteArray bigEndian32(quint32 value)
{
    return bytesOf({char(value >> 24), char(value >> 16), char(value >> 8), char(value)});
}

struct Address {
    bool telnet = false;
    QString host;
    quint16 port = 0;
};

std::optional<Address> parseAddress(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("rfc2217") && scheme != QLatin1String("tcp"))
        || url.host().isEmpty() || url.port() < 1
        || (!url.path().isEmpty() && url.path() != QLatin1String("/")) || url.hasQuery()
        || url.hasFragment() || !url.userInfo().isEmpty())
        return std::nullopt;
    return Address{scheme == QLatin1String("rfc2217"), url.host(), quint16(url.port())};
}

}  // namespace

NetworkTransport::NetworkTransport(QObject *parent) : Transport(parent) {}

NetworkTransport::~NetworkTransport()
{
    dropConnection();
}

bool NetworkTransport::servesAddress(const QString &name)
{
    return isRemoteCableName(name);
}

CommError NetworkTransport::checkAddress(const QString &address)
{
    if (parseAddress(address))
        return {};
    return {CommErrorNumber::BadAddress,
            QStringLiteral("not an address of the form rfc2217://HOST:PORT or tcp://HOST:PORT")};
}

QString NetworkTransport::endpoint() const
{
    return m_step == Step::Open ? m_address : QString();
}

CommError NetworkTransport::open(const QString &endpoint, const LineSetup &setup)
{
    dropConnection();
    const std::optional<Address> address = parseAddress(endpoint);
    if (!address) {
        CommError error = checkAddress(endpoint);
        error.description.prepend(endpoint + QStringLiteral(": "));
        return error;
    }
    m_address = endpoint;
    const bool ipv6 = address->host.contains(QLatin1Char(':'));
    m_hostPort = (ipv6 ? QLatin1Char('[') + address->host + QLatin1Char(']') : address->host)
                 + QLatin1Char(':') + QString::number(address->port);
    m_telnet = address->telnet;
    m_setup = setup;
    m_decoder = {};
    m_received.clear();
    m_commands.clear();
    m_willSent = m_doSent = 0;
    m_lineMaskPending = false;
    m_modemState = -1;

    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &NetworkTransport::onConnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &NetworkTransport::onSocketError);
    connect(m_socket, &QTcpSocket::readyRead, this, &NetworkTransport::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &Transport::bytesWritten);
    m_step = Step::Connecting;
    return waitUntilSettled(kConnectTimeout, [this, &address] {
        m_socket->connectToHost(address->host, address->port);
    });
}

// The open's wait and a setting's: the event loop runs (the window repaints, sockets and timers
// work) but takes no user input. It ends only through end(), which every ending takes, or when
// the event loop itself is told to stop; its deadline is its own, so dropping the connection
// cannot leave it waiting.
CommError NetworkTransport::waitUntilSettled(std::chrono::milliseconds limit,
                                             const std::function<void()> &start)
{
    Wait wait;
    wait.deadline.setSingleShot(true);
    connect(&wait.deadline, &QTimer::timeout, this, &NetworkTransport::onDeadline);
    wait.deadline.start(limit);
    Wait *const outer = std::exchange(m_wait, &wait);
    start();
    if (!wait.result)
        wait.loop.exec(QEventLoop::ExcludeUserInputEvents);
    m_wait = outer;
    if (wait.result)
        return *wait.result;
    // QCoreApplication::exit stops every event loop, this one too: the program is ending, and
    // the line, set or not, is not left behind as if it were ready.
    CommError ending =
        failure(CommErrorNumber::Interrupted, QStringLiteral("the program is ending"));
    const bool wasOpen = m_step == Step::Open;
    dropConnection();
    if (wasOpen)
        emit lost();
    return ending;
}

void NetworkTransport::onDeadline()
{
    end(m_step == Step::Connecting
            ? failure(CommErrorNumber::ConnectFailed, QStringLiteral("Connection timed out"))
            : failure(CommErrorNumber::ServerSilent,
                      QStringLiteral("the server did not answer the line settings")),
        true);
}

// The one way out of a wait, for every ending: the result it returns, and whether the line goes
// with it. With no wait running, a dropped line is a pulled cable.
void NetworkTransport::end(const CommError &result, bool dropLine)
{
    const bool wasOpen = m_step == Step::Open;
    m_commands.clear();
    if (dropLine)
        dropConnection();
    if (m_wait && !m_wait->result) {
        m_wait->result = result;
        m_wait->deadline.stop();
        m_wait->loop.quit();
    }
    if (dropLine && wasOpen)
        emit lost();
}

CommError NetworkTransport::failure(int number, const QString &reason) const
{
    return {number, m_hostPort + QStringLiteral(": ") + reason};
}

void NetworkTransport::onConnected()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (!m_telnet) {
        m_step = Step::Open;
        end({}, false);
        return;
    }
    m_step = Step::Negotiating;
    if (m_wait)
        m_wait->deadline.start(kAnswerTimeout);
    m_willSent = kBinaryBit | kComPortBit;
    m_doSent = kBinaryBit;
    m_socket->write(telnetNegotiation(kWill, kBinary) + telnetNegotiation(kDo, kBinary)
                    + telnetNegotiation(kWill, kComPort));
}

void NetworkTransport::onSocketError()
{
    const bool open = m_step == Step::Open;
    end(failure(open ? CommErrorNumber::ConnectionLost : CommErrorNumber::ConnectFailed,
                m_socket->errorString()),
        true);
}

void NetworkTransport::dropConnection()
{
    m_step = Step::Closed;
    m_commands.clear();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    m_received.clear();
}

void NetworkTransport::close(bool)
{
    const CommError closed =
        failure(CommErrorNumber::Interrupted, QStringLiteral("the port was closed meanwhile"));
    dropConnection();
    end(closed, false);
}

void NetworkTransport::onReadyRead()
{
    const QByteArray bytes = m_socket->readAll();
    if (!m_telnet) {
        m_received += bytes;
        emit readyRead();
        return;
    }
    m_decoder.append(bytes);
    const qsizetype before = m_received.size();
    while (m_socket) {
        const std::optional<TelnetItem> item = m_decoder.next();
        if (!item)
            break;
        handle(*item);
    }
    if (m_socket && m_received.size() > before)
        emit readyRead();
}

void NetworkTransport::handle(const TelnetItem &item)
{
    switch (item.kind) {
    case TelnetItem::Kind::Data: m_received += item.bytes; break;
    case TelnetItem::Kind::Negotiation: handleNegotiation(item.verb, item.option); break;
    case TelnetItem::Kind::Subnegotiation:
        if (item.option == kComPort)
            handleComPort(item.bytes);
        break;
    case TelnetItem::Kind::Command:
        break;  // NOP, go-ahead and the like mean nothing on a serial line
    }
}

// Only BINARY and the com port option are wanted; everything else is refused once. An answer
// that agrees with what we offered is not answered again.
void NetworkTransport::handleNegotiation(quint8 verb, quint8 option)
{
    const quint8 bit = bitOf(option);
    if (verb == kDo || verb == kWill) {
        const bool wanted = option == kComPort ? verb == kDo : bit != 0;
        quint8 &sent = verb == kDo ? m_willSent : m_doSent;
        if (!wanted) {
            m_socket->write(telnetNegotiation(verb == kDo ? kWont : kDont, option));
        } else if (!(sent & bit)) {
            sent |= bit;
            m_socket->write(telnetNegotiation(verb == kDo ? kWill : kDo, option));
        }
        if (option == kComPort && verb == kDo && m_step == Step::Negotiating) {
            m_step = Step::Configuring;
            // Line events come with the states the server reports; modem lines by default.
            m_lineMask = ComPort::kBreak | ComPort::kFraming | ComPort::kParity | ComPort::kOverrun;
            m_lineMaskPending = true;
            sendComPort(ComPort::kSetLineStateMask, QByteArray(1, char(m_lineMask)));
            applyHandshaking(m_setup.handshaking);
            applyModemLines(m_setup.dtr, m_setup.rts, m_setup.handshaking);
            queueLine(m_setup.line);
            m_commands << bytesOf({char(ComPort::kPurgeData), char(ComPort::kPurgeBoth)});
            sendCommands();
        }
        return;
    }
    // WONT or DONT: the server will not do it.
    if (option == kComPort && m_step != Step::Open)
        end(failure(CommErrorNumber::ServerRefusedSettings,
                    QStringLiteral("the server does not control the line")),
            true);
    else if (verb == kDont && (m_willSent & bit))
        m_willSent &= quint8(~bit), m_socket->write(telnetNegotiation(kWont, option));
    else if (verb == kWont && (m_doSent & bit))
        m_doSent &= quint8(~bit), m_socket->write(telnetNegotiation(kDont, option));
}

void NetworkTransport::sendComPort(quint8 command, const QByteArray &value)
{
    m_socket->write(telnetSubnegotiation(kComPort, QByteArray(1, char(command)) + value));
}

void NetworkTransport::queueLine(const LineSettings &line)
{
    m_commands << QByteArray(1, char(ComPort::kSetBaudRate)) + bigEndian32(quint32(line.speed))
               << bytesOf({char(ComPort::kSetDataSize), char(line.dataBits)})
               << bytesOf({char(ComPort::kSetParity), char(parityCode(line.parity))})
               << bytesOf({char(ComPort::kSetStopSize), char(stopCode(line.stopBits))});
}

// All the settings go at once and their answers come back together, one round trip for the
// lot; each answer is still checked against its own command, all within one time-out.
void NetworkTransport::sendCommands()
{
    for (const QByteArray &command : std::as_const(m_commands))
        sendComPort(quint8(command.at(0)), command.mid(1));
    if (m_wait)
        m_wait->deadline.start(kAnswerTimeout);
}

void NetworkTransport::handleComPort(const QByteArray &payload)
{
    if (payload.isEmpty())
        return;
    const int code = quint8(payload.at(0));
    const QByteArray value = payload.mid(1);
    if (code == ComPort::kNotifyLineState + ComPort::kServerOffset
        || code == ComPort::kSetLineStateMask + ComPort::kServerOffset) {
        // Some servers confirm the mask with a line-state report carrying the mask itself.
        if (value.size() >= 1 && m_lineMaskPending && quint8(value.at(0)) == m_lineMask) {
            m_lineMaskPending = false;
            return;
        }
        if (code == ComPort::kSetLineStateMask + ComPort::kServerOffset || value.isEmpty())
            return;
        const quint8 bits = quint8(value.at(0));
        QList<int> codes;
        for (const auto &[bit, event] : {std::pair{ComPort::kBreak, CommEventCode::Break},
                                         {ComPort::kFraming, CommEventCode::Framing},
                                         {ComPort::kOverrun, CommEventCode::Overrun},
                                         {ComPort::kParity, CommEventCode::Parity}})
            if (bits & bit)
                codes << event;
        if (!codes.isEmpty())
            emit lineEvents(codes);
        return;
    }
    if (code == ComPort::kNotifyModemState + ComPort::kServerOffset) {
        if (value.isEmpty())
            return;
        const int state = quint8(value.at(0));
        const int changed = m_modemState < 0 ? 0 : (state ^ m_modemState) & 0xF0;
        m_modemState = state;
        // Each line: its delta bit, or its state bit changed since the last report.
        QList<int> codes;
        for (const auto &[delta, stateBit, event] :
             {std::tuple{0x01, 0x10, CommEventCode::CtsChanged},
              {0x02, 0x20, CommEventCode::DsrChanged},
              {0x08, 0x80, CommEventCode::CdChanged},
              {0x04, 0x40, CommEventCode::Ring}})
            if ((state & delta) || (changed & stateBit))
                codes << event;
        if (!codes.isEmpty())
            emit lineEvents(codes);
        return;
    }
    // The answer to the first command sent with that code; answers to what nobody waits for
    // (DTR, RTS, flow control) are dropped.
    const auto sent =
        std::find_if(m_commands.cbegin(), m_commands.cend(), [&](const QByteArray &c) {
            return quint8(c.at(0)) + ComPort::kServerOffset == code;
        });
    if (sent == m_commands.cend())
        return;
    // The server answers with the value now in force; a server may add bytes after it.
    const QByteArray wanted = sent->mid(1);
    m_commands.erase(sent);
    if (value.left(wanted.size()) != wanted
        && code != ComPort::kPurgeData + ComPort::kServerOffset) {
        const QString what = code == ComPort::kSetBaudRate + ComPort::kServerOffset
                                 ? QStringLiteral("speed")
                                 : QStringLiteral("line format");
        // Refused on an open line, the line stays as it was; refused at the open, it goes.
        end(failure(CommErrorNumber::ServerRefusedSettings,
                    QStringLiteral("the server refused the %1").arg(what)),
            m_step != Step::Open);
        return;
    }
    if (!m_commands.isEmpty())
        return;
    if (m_step == Step::Configuring) {
        m_received.clear();  // what the server held from before the purge is no one's
        m_step = Step::Open;
    }
    end({}, false);
}

CommError NetworkTransport::applyLine(const LineSettings &line)
{
    if (!m_telnet || m_step != Step::Open)
        return {};  // a bare stream's speed is set at the far end
    return waitUntilSettled(kAnswerTimeout, [this, &line] {
        m_commands.clear();
        queueLine(line);
        sendCommands();
    });
}

CommError NetworkTransport::applyHandshaking(int mode)
{
    if (m_telnet && m_socket) {
        const quint8 value = mode == 1   ? ComPort::kXonXoff
                             : mode == 2 ? ComPort::kHardwareFlow
                                         : ComPort::kNoFlowControl;
        sendComPort(ComPort::kSetControl, QByteArray(1, char(value)));
    }
    return {};
}

// Not awaited: some servers never answer DTR and RTS on some devices.
void NetworkTransport::applyModemLines(bool dtr, bool rts, int handshaking)
{
    if (!m_telnet || !m_socket)
        return;
    sendComPort(ComPort::kSetControl,
                QByteArray(1, char(dtr ? ComPort::kDtrOn : ComPort::kDtrOff)));
    if (handshaking != 2)
        sendComPort(ComPort::kSetControl,
                    QByteArray(1, char(rts ? ComPort::kRtsOn : ComPort::kRtsOff)));
}

CommError NetworkTransport::write(const QByteArray &bytes)
{
    if (!m_socket || m_step != Step::Open)
        return {CommErrorNumber::WriteFailed, m_hostPort + QStringLiteral(": not connected")};
    const QByteArray wire = m_telnet ? telnetData(bytes) : bytes;
    if (m_socket->write(wire) != wire.size())
        return {CommErrorNumber::WriteFailed,
                m_hostPort + QStringLiteral(": ") + m_socket->errorString()};
    return {};
}

qint64 NetworkTransport::bytesToWrite() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

QByteArray NetworkTransport::read(qint64 max)
{
    if (max <= 0 || max >= m_received.size())
        return std::exchange(m_received, {});
    QByteArray head = m_received.left(max);
    m_received.remove(0, max);
    return head;
}

#include "moc_networktransport.cpp"  // NOLINT(bugprone-suspicious-include): moc output, on purpose
