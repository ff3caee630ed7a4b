#include "serial/serialcontrol.h"

#include "serial/portnamespace.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QSerialPort>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <optional>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif
#ifdef Q_OS_UNIX
#include <termios.h>
#endif

namespace {

QString systemErrorText(int errorNumber) { return QString::fromLocal8Bit(std::strerror(errorNumber)); }

// Everything that differs between systems when a device is opened lives in this namespace.
namespace platform {

// Lock files are named after the path, so a link (COM3 in a port folder) and the device it
// points to must be locked under one name: the device's own.
QString realDevicePath(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

// Qt's lock file covers other users of Qt's locking; an advisory lock on the device itself
// covers programs that lock the device instead, and root, for whom the kernel's exclusive
// mode means nothing. A plain open first also lets a refusal quote the system's own reason.
CommError lockDevice(const QString &path, int *lockFd)
{
    *lockFd = -1;
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return {error == EBUSY ? CommErrorNumber::PortInUse : CommErrorNumber::OpenFailed,
                systemErrorText(error)};
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return {CommErrorNumber::PortInUse, systemErrorText(error)};
    }
    *lockFd = fd;
#else
    Q_UNUSED(path);  // the system opens COM ports exclusively
#endif
    return {};
}

void unlockDevice(int lockFd)
{
#ifdef Q_OS_UNIX
    if (lockFd >= 0)
        ::close(lockFd);
#else
    Q_UNUSED(lockFd);
#endif
}

// Many USB cables hold received bytes up to 16 ms; a write waits for every frame's echo, so
// that delay would be paid on every record. Pseudo-terminals and some drivers refuse: fine.
void requestLowLatency(QSerialPort &port)
{
#ifdef Q_OS_LINUX
    serial_struct serial{};
    if (::ioctl(port.handle(), TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(port.handle(), TIOCSSERIAL, &serial);
    }
#else
    Q_UNUSED(port);
#endif
}

// The kernel's per-port error counters and the modem input lines.
LineStatus readDriverLineStatus(int descriptor)
{
    LineStatus status;
#ifdef Q_OS_LINUX
    serial_icounter_struct counts{};
    if (::ioctl(descriptor, TIOCGICOUNT, &counts) == 0)
        status.counters = LineStatus::Counters{counts.brk, counts.frame, counts.overrun,
                                               counts.buf_overrun, counts.parity};
#endif
#ifdef Q_OS_UNIX
    int bits = 0;
    if (::ioctl(descriptor, TIOCMGET, &bits) == 0)
        status.lines = LineStatus::Lines{bool(bits & TIOCM_CTS), bool(bits & TIOCM_DSR),
                                         bool(bits & TIOCM_CD), bool(bits & TIOCM_RI)};
#else
    Q_UNUSED(descriptor);
#endif
    return status;
}

} // namespace platform

// The events for what changed from before to now, errors first; nothing for a part that
// either reading lacks.
QList<int> lineEvents(const LineStatus &before, const LineStatus &now)
{
    QList<std::pair<int, bool>> changes;
    if (before.counters && now.counters) {
        const LineStatus::Counters &a = *before.counters;
        const LineStatus::Counters &b = *now.counters;
        changes = {{CommEventCode::Break, a.breaks != b.breaks},
                   {CommEventCode::Framing, a.framing != b.framing},
                   {CommEventCode::Overrun, a.overrun != b.overrun},
                   {CommEventCode::ReceiveOverflow, a.bufferOverflow != b.bufferOverflow},
                   {CommEventCode::Parity, a.parity != b.parity}};
    }
    if (before.lines && now.lines) {
        const LineStatus::Lines &a = *before.lines;
        const LineStatus::Lines &b = *now.lines;
        changes += {{CommEventCode::CtsChanged, a.cts != b.cts},
                    {CommEventCode::DsrChanged, a.dsr != b.dsr},
                    {CommEventCode::CdChanged, a.cd != b.cd},
                    {CommEventCode::Ring, a.ring != b.ring}};
    }
    QList<int> codes;
    for (const auto &[code, changed] : changes)
        if (changed)
            codes << code;
    return codes;
}

struct LineSettings {
    qint32 speed = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

std::optional<LineSettings> parseSettings(const QString &text, CommError *error)
{
    const QStringList fields = text.split(QLatin1Char(','));
    const auto malformed = [&] {  // the message is made only when it is needed
        *error = {CommErrorNumber::BadSettings,
                  QStringLiteral("Invalid line settings \"%1\"").arg(text)};
        return std::nullopt;
    };
    if (fields.size() != 4)
        return malformed();

    LineSettings line;
    const QString speed = fields[0].trimmed();
    bool numeric = !speed.isEmpty();
    for (QChar c : speed)
        numeric = numeric && c.isDigit() && c.unicode() < 128;
    if (!numeric)
        return malformed();
    line.speed = speed.size() > 9 ? -1 : speed.toInt();

    const QString parity = fields[1].trimmed().toLower();
    if (parity == QLatin1String("n"))
        line.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("e"))
        line.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("o"))
        line.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("m"))
        line.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("s"))
        line.parity = QSerialPort::SpaceParity;
    else
        return malformed();

    const QString data = fields[2].trimmed();
    if (data == QLatin1String("5"))
        line.dataBits = QSerialPort::Data5;
    else if (data == QLatin1String("6"))
        line.dataBits = QSerialPort::Data6;
    else if (data == QLatin1String("7"))
        line.dataBits = QSerialPort::Data7;
    else if (data == QLatin1String("8"))
        line.dataBits = QSerialPort::Data8;
    else
        return malformed();

    const QString stop = fields[3].trimmed();
    if (stop == QLatin1String("1"))
        line.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        line.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        line.stopBits = QSerialPort::TwoStop;
    else
        return malformed();

    if (!SerialControl::supportedSpeeds().contains(line.speed)) {
        *error = {CommErrorNumber::UnsupportedSpeed, QStringLiteral("Unsupported speed %1").arg(speed)};
        return std::nullopt;
    }
    *error = {};
    return line;
}

QSerialPort::FlowControl flowControlOf(int handshaking)
{
    switch (handshaking) {
    case 1:
        return QSerialPort::SoftwareControl;
    case 2:
        return QSerialPort::HardwareControl;
    default:
        return QSerialPort::NoFlowControl;
    }
}

CommError checkRange(int value, int lowest, int highest)
{
    if (value < lowest || value > highest)
        return {CommErrorNumber::InvalidPropertyValue, QStringLiteral("Invalid property value")};
    return {};
}

constexpr int kLargest16Bit = 32767;

// Opens an unlocked Qt port on an already locked device and names the failure.
CommError openLocked(QSerialPort &port, const QString &realPath)
{
    port.setPortName(realPath);
    if (port.open(QIODevice::ReadWrite))
        return {};
    // The plain open in lockDevice succeeded, so a permission failure here is Qt's lock file
    // held by another opener (or a lock folder we may not write).
    const int number = port.error() == QSerialPort::PermissionError ? CommErrorNumber::PortInUse
                                                                    : CommErrorNumber::OpenFailed;
    return {number, port.errorString()};
}

} // namespace

SerialControl::SerialControl(QObject *parent)
    : QObject(parent), m_port(new QSerialPort(this)), m_lineStatusReader(platform::readDriverLineStatus)
{
    m_lineWatch.setInterval(kLineWatchInterval);
    connect(&m_lineWatch, &QTimer::timeout, this, &SerialControl::watchLine);
    connect(m_port, &QSerialPort::readyRead, this, &SerialControl::onReadyRead);
    connect(m_port, &QSerialPort::bytesWritten, this, &SerialControl::onBytesWritten);
    connect(m_port, &QSerialPort::errorOccurred, this, &SerialControl::onErrorOccurred);
}

SerialControl::~SerialControl() { closeNow(); }

const QList<int> &SerialControl::supportedSpeeds()
{
    static const QList<int> speeds{110,   300,   600,   1200,  2400,   4800,  9600,
                                   14400, 19200, 38400, 57600, 115200, 230400};
    return speeds;
}

int SerialControl::CommPort() const { return m_commPort; }

CommError SerialControl::setCommPort(int port)
{
    if (PortOpen())
        return {CommErrorNumber::PortAlreadyOpen, QStringLiteral("Port already open")};
    if (port < 1 || port > kLargest16Bit)
        return {CommErrorNumber::InvalidPortNumber, QStringLiteral("Invalid port number")};
    m_commPort = port;
    return {};
}

QString SerialControl::Settings() const { return m_settings; }

CommError SerialControl::setSettings(const QString &settings)
{
    CommError error;
    if (!parseSettings(settings, &error))
        return error;
    if (PortOpen()) {
        error = applyLineSettings(settings);
        if (error.failed()) {
            applyLineSettings(m_settings);
            return error;
        }
    }
    m_settings = settings;
    return {};
}

bool SerialControl::PortOpen() const { return m_port->isOpen() && m_parkedPath.isEmpty(); }

CommError SerialControl::setPortOpen(bool open)
{
    if (open == PortOpen())
        return {};
    if (!open) {
        closeNow(m_keepDevice);
        return {};
    }
    return this->open();
}

CommError SerialControl::open()
{
    const QString path = resolvePortName(portNameOf(m_commPort));
    if (path.isEmpty())
        return {CommErrorNumber::OpenFailed, systemErrorText(ENOENT)};
    const QString realPath = platform::realDevicePath(path);

    CommError error;
    if (m_parkedPath.isEmpty() || m_parkedPath != realPath) {
        closeNow();  // a device kept open under another name really closes
        error = platform::lockDevice(realPath, &m_lockFd);
        if (error.failed())
            return error;
    }
    m_parkedPath.clear();

    m_configuring = true;
    if (!m_port->isOpen())
        error = openLocked(*m_port, realPath);
    if (!error.failed()) {
        platform::requestLowLatency(*m_port);
        // Bytes the driver kept from before this open belong to no transfer of ours.
        m_port->clear(QSerialPort::AllDirections);
        error = applyLineSettings(m_settings, true);
        if (!error.failed())
            applyModemLines();
    }
    m_configuring = false;
    if (error.failed()) {
        closeNow();
        return error;
    }
    m_devicePath = realPath;
    m_receivePending = false;
    m_sendWatch = false;
    m_pendingCodes.clear();
    m_lineStatus = m_lineStatusReader(m_port->handle());
    if (m_lineStatus.counters || m_lineStatus.lines)
        m_lineWatch.start();
    return {};
}

void SerialControl::closeNow(bool keepDevice)
{
    if (keepDevice && PortOpen()) {
        m_parkedPath = m_devicePath;
    } else {
        if (m_port->isOpen())
            m_port->close();
        platform::unlockDevice(m_lockFd);
        m_lockFd = -1;
        m_parkedPath.clear();
    }
    m_devicePath.clear();
    // Nothing that was waiting is delivered into a closed port, nor into the next open.
    m_receivePending = false;
    m_sendWatch = false;
    m_pendingCodes.clear();
    m_lineWatch.stop();
    m_lineStatus = {};
}

CommError SerialControl::applyLineSettings(const QString &settings, bool onlyChanges)
{
    CommError error;
    const std::optional<LineSettings> line = parseSettings(settings, &error);
    if (!line)
        return error;
    const bool wasConfiguring = m_configuring;
    m_configuring = true;
    // Each value set reconfigures the driver; an open has given it the port's values already.
    const auto same = [onlyChanges](auto now, auto wanted) { return onlyChanges && now == wanted; };
    const QSerialPort::FlowControl flow = flowControlOf(m_handshaking);
    const bool ok = (same(m_port->baudRate(), line->speed) || m_port->setBaudRate(line->speed))
        && (same(m_port->parity(), line->parity) || m_port->setParity(line->parity))
        && (same(m_port->dataBits(), line->dataBits) || m_port->setDataBits(line->dataBits))
        && (same(m_port->stopBits(), line->stopBits) || m_port->setStopBits(line->stopBits))
        && (same(m_port->flowControl(), flow) || m_port->setFlowControl(flow));
    m_configuring = wasConfiguring;
    if (!ok)
        return {CommErrorNumber::DeviceRefusedSettings, m_port->errorString()};
    return {};
}

// Pseudo-terminals have no modem lines and refuse; a real cable may draw power from them.
void SerialControl::applyModemLines()
{
    const bool wasConfiguring = m_configuring;
    m_configuring = true;
    m_port->setDataTerminalReady(m_dtrEnable);
    if (m_handshaking != 2)
        m_port->setRequestToSend(m_rtsEnable);
    m_configuring = wasConfiguring;
}

CommError SerialControl::setHandshaking(int mode)
{
    // Qt drives either RTS/CTS or XON/XOFF, not both at once (3).
    CommError error = checkRange(mode, 0, 2);
    if (error.failed())
        return error;
    if (PortOpen()) {
        m_configuring = true;
        const bool ok = m_port->setFlowControl(flowControlOf(mode));
        m_configuring = false;
        if (!ok)
            return {CommErrorNumber::DeviceRefusedSettings, m_port->errorString()};
    }
    m_handshaking = mode;
    return {};
}

CommError SerialControl::setInputMode(int mode)
{
    // Text and binary input are the same here: one byte per character either way.
    CommError error = checkRange(mode, 0, 1);
    if (!error.failed())
        m_inputMode = mode;
    return error;
}

// Qt reports no parity errors, so the replacement character is kept but never used.
CommError SerialControl::setParityReplace(const QString &replacement)
{
    CommError error = checkRange(int(replacement.size()), 0, 1);
    if (!error.failed())
        m_parityReplace = replacement;
    return error;
}

CommError SerialControl::setDTREnable(bool enable)
{
    m_dtrEnable = enable;
    if (PortOpen())
        applyModemLines();
    return {};
}

CommError SerialControl::setNullDiscard(bool discard)
{
    m_nullDiscard = discard;
    return {};
}

CommError SerialControl::setRTSEnable(bool enable)
{
    m_rtsEnable = enable;
    if (PortOpen())
        applyModemLines();
    return {};
}

// Every byte is data here; an end-of-file mode that cut the input would lose record bytes.
CommError SerialControl::setEOFEnable(bool enable)
{
    if (enable)
        return {CommErrorNumber::InvalidPropertyValue, QStringLiteral("Invalid property value")};
    m_eofEnable = false;
    return {};
}

// The buffer sizes are kept for callers that read them back; Qt's buffers grow as needed, so
// nothing received while events are held is ever dropped.
CommError SerialControl::setInBufferSize(int size)
{
    CommError error = checkRange(size, 1, kLargest16Bit);
    if (!error.failed())
        m_inBufferSize = size;
    return error;
}

CommError SerialControl::setInputLen(int len)
{
    CommError error = checkRange(len, 0, kLargest16Bit);
    if (!error.failed())
        m_inputLen = len;
    return error;
}

CommError SerialControl::setOutBufferSize(int size)
{
    CommError error = checkRange(size, 1, kLargest16Bit);
    if (!error.failed())
        m_outBufferSize = size;
    return error;
}

CommError SerialControl::setRThreshold(int threshold)
{
    CommError error = checkRange(threshold, 0, kLargest16Bit);
    if (!error.failed())
        m_rThreshold = threshold;
    return error;
}

CommError SerialControl::setSThreshold(int threshold)
{
    CommError error = checkRange(threshold, 0, kLargest16Bit);
    if (!error.failed())
        m_sThreshold = threshold;
    return error;
}

CommError SerialControl::Output(const QByteArray &bytes)
{
    if (!PortOpen())
        return {CommErrorNumber::PortNotOpen, QStringLiteral("Port is not open")};
    // With nothing queued before them the bytes go to the driver at once: left to QSerialPort
    // they would wait for a later pass of the event loop, behind whatever the handler that
    // sent them left to do (a progress bar's repaint), and the radio would wait with them.
    // The device is non-blocking, so this never waits for the line; what the driver does not
    // take now is queued, and flush() is never called, as it would wait for the line to drain.
    qsizetype written = 0;
#ifdef Q_OS_UNIX
    if (m_port->bytesToWrite() == 0) {
        const ssize_t n = ::write(m_port->handle(), bytes.constData(), size_t(bytes.size()));
        written = n > 0 ? qsizetype(n) : 0;
    }
#endif
    if (written < bytes.size()) {
        m_configuring = true;
        const qint64 queued = m_port->write(bytes.constData() + written, bytes.size() - written);
        m_configuring = false;
        if (queued != bytes.size() - written)
            return {CommErrorNumber::WriteFailed, m_port->errorString()};
        if (m_sThreshold > 0)
            m_sendWatch = true;
    } else if (m_sThreshold > 0 && !m_pendingCodes.contains(CommEventCode::Send)) {
        // All of it is with the driver: the transmit buffer is empty again.
        m_pendingCodes.append(CommEventCode::Send);
        scheduleDelivery();
    }
    return {};
}

QByteArray SerialControl::Input()
{
    if (!PortOpen())
        return {};
    QByteArray bytes = m_inputLen > 0 ? m_port->read(m_inputLen) : m_port->readAll();
    if (m_nullDiscard)
        bytes.replace(QByteArray(1, '\0'), QByteArray());
    return bytes;
}

QString SerialControl::devicePath() const { return m_devicePath; }

void SerialControl::setLineStatusReader(LineStatusReader reader)
{
    m_lineStatusReader = std::move(reader);
}

void SerialControl::watchLine()
{
    if (!m_lineWatch.isActive())
        return;
    const LineStatus now = m_lineStatusReader(m_port->handle());
    const QList<int> codes = lineEvents(m_lineStatus, now);
    m_lineStatus = now;
    if (codes.isEmpty())
        return;
    m_pendingCodes.append(codes);
    scheduleDelivery();
}

void SerialControl::raiseCommEvent(int code)
{
    if (m_holds == 0 && m_pendingCodes.isEmpty()) {
        deliver(code);
        return;
    }
    m_pendingCodes.append(code);
    scheduleDelivery();
}

SerialControl::EventHold::EventHold(SerialControl &control) : m_control(control)
{
    ++m_control.m_holds;
}

SerialControl::EventHold::~EventHold() { m_control.release(); }

// Never emitted from inside QSerialPort's own signal: a handler that opens a modal dialog
// would otherwise run inside readyRead, and Qt does not report data arriving meanwhile.
void SerialControl::onReadyRead()
{
    m_receivePending = true;
    scheduleDelivery();
}

void SerialControl::onBytesWritten()
{
    if (!m_sendWatch || m_sThreshold <= 0 || m_port->bytesToWrite() >= m_sThreshold)
        return;
    m_sendWatch = false;
    m_pendingCodes.append(CommEventCode::Send);
    scheduleDelivery();
}

// Qt 6 reports neither line changes nor framing, parity or break conditions: watchLine reads
// them from the driver. What Qt does report after an open: ResourceError, ReadError and
// WriteError mean the device has gone or takes nothing more (a pulled USB cable, a closed pty
// master; Qt keeps polling a hung-up pty and would spin the event loop), so the port closes at
// once, and with it every event still waiting; the transfer's time-out then tells the user.
// Everything else answers one of our own calls and is returned by that call instead.
void SerialControl::onErrorOccurred()
{
    const QSerialPort::SerialPortError error = m_port->error();
    if (error == QSerialPort::NoError || m_configuring || !PortOpen())
        return;
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        closeNow();
        break;
    default:
        break;
    }
}

void SerialControl::scheduleDelivery()
{
    if (m_holds > 0 || m_deliveryQueued)
        return;
    m_deliveryQueued = true;
    QMetaObject::invokeMethod(this, &SerialControl::deliverPending, Qt::QueuedConnection);
}

void SerialControl::deliverPending()
{
    m_deliveryQueued = false;
    // An error that came with the received bytes is noted before them.
    if (m_holds == 0 && m_receivePending)
        watchLine();
    while (m_holds == 0 && !m_pendingCodes.isEmpty())
        deliver(m_pendingCodes.takeFirst());
    if (m_holds > 0 || !m_receivePending)
        return;
    m_receivePending = false;
    if (PortOpen() && m_rThreshold > 0 && m_port->bytesAvailable() >= m_rThreshold)
        deliver(CommEventCode::Receive);
}

void SerialControl::deliver(int code)
{
    m_commEvent = code;
    ++m_holds;  // the handler's own run holds further events
    emit OnComm();
    release();
}

void SerialControl::release()
{
    if (--m_holds == 0 && (m_receivePending || !m_pendingCodes.isEmpty()))
        scheduleDelivery();
}

CommError SerialControl::probeDevice(const QString &devicePath)
{
    const QString realPath = platform::realDevicePath(devicePath);
    int lockFd = -1;
    CommError error = platform::lockDevice(realPath, &lockFd);
    if (error.failed())
        return error;
    QSerialPort trial;
    error = openLocked(trial, realPath);
    if (trial.isOpen())
        trial.close();
    platform::unlockDevice(lockFd);
    return error;
}

// Compiled here rather than with every other class of the library, so a program linking the
// serial control pulls in no other subsystem.
#include "moc_serialcontrol.cpp"  // NOLINT(bugprone-suspicious-include): moc output, on purpose
