#include "serial/devicetransport.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif

namespace {

QString systemErrorText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

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
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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

}  // namespace platform

QSerialPort::Parity parityOf(LineSettings::Parity parity)
{
    switch (parity) {
    case LineSettings::Parity::Even: return QSerialPort::EvenParity;
    case LineSettings::Parity::Odd: return QSerialPort::OddParity;
    case LineSettings::Parity::Mark: return QSerialPort::MarkParity;
    case LineSettings::Parity::Space: return QSerialPort::SpaceParity;
    default: return QSerialPort::NoParity;
    }
}

QSerialPort::StopBits stopBitsOf(LineSettings::StopBits stopBits)
{
    switch (stopBits) {
    case LineSettings::StopBits::OneAndHalf: return QSerialPort::OneAndHalfStop;
    case LineSettings::StopBits::Two: return QSerialPort::TwoStop;
    default: return QSerialPort::OneStop;
    }
}

QSerialPort::FlowControl flowControlOf(int handshaking)
{
    switch (handshaking) {
    case 1: return QSerialPort::SoftwareControl;
    case 2: return QSerialPort::HardwareControl;
    default: return QSerialPort::NoFlowControl;
    }
}

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

}  // namespace

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

DeviceTransport::DeviceTransport(QObject *parent)
    : Transport(parent),
      m_port(new QSerialPort(this)),
      m_lineStatusReader(platform::readDriverLineStatus)
{
    m_lineWatch.setInterval(kLineWatchInterval);
    connect(&m_lineWatch, &QTimer::timeout, this, &DeviceTransport::checkLine);
    connect(m_port, &QSerialPort::readyRead, this, &Transport::readyRead);
    connect(m_port, &QSerialPort::bytesWritten, this, &Transport::bytesWritten);
    connect(m_port, &QSerialPort::errorOccurred, this, &DeviceTransport::onErrorOccurred);
}

DeviceTransport::~DeviceTransport()
{
    closeNow();
}

bool DeviceTransport::serves(const QString &endpoint) const
{
    return !endpoint.contains(QLatin1String("://"));
}

CommError DeviceTransport::open(const QString &endpoint, const LineSetup &setup)
{
    const QString realPath = platform::realDevicePath(endpoint);
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
        error = applyLineChanges(setup.line, setup.handshaking, true);
        if (!error.failed())
            applyModemLines(setup.dtr, setup.rts, setup.handshaking);
    }
    m_configuring = false;
    if (error.failed()) {
        closeNow();
        return error;
    }
    m_devicePath = realPath;
    m_handshaking = setup.handshaking;
    m_lineStatus = m_lineStatusReader(m_port->handle());
    if (m_lineStatus.counters || m_lineStatus.lines)
        m_lineWatch.start();
    return {};
}

void DeviceTransport::close(bool keep)
{
    if (keep && !m_devicePath.isEmpty())
        m_parkedPath = m_devicePath;
    else
        closeNow();
    m_devicePath.clear();
    m_lineWatch.stop();
    m_lineStatus = {};
}

void DeviceTransport::closeNow()
{
    if (m_port->isOpen())
        m_port->close();
    platform::unlockDevice(m_lockFd);
    m_lockFd = -1;
    m_parkedPath.clear();
    m_devicePath.clear();
    m_lineWatch.stop();
    m_lineStatus = {};
}

CommError DeviceTransport::applyLine(const LineSettings &line)
{
    return applyLineChanges(line, m_handshaking, false);
}

CommError DeviceTransport::applyLineChanges(const LineSettings &line, int handshaking,
                                            bool onlyChanges)
{
    const bool wasConfiguring = m_configuring;
    m_configuring = true;
    // Each value set reconfigures the driver; an open has given it the port's values already.
    const auto same = [onlyChanges](auto now, auto wanted) { return onlyChanges && now == wanted; };
    const QSerialPort::FlowControl flow = flowControlOf(handshaking);
    const QSerialPort::Parity parity = parityOf(line.parity);
    const auto dataBits = QSerialPort::DataBits(line.dataBits);
    const QSerialPort::StopBits stopBits = stopBitsOf(line.stopBits);
    const bool ok = (same(m_port->baudRate(), line.speed) || m_port->setBaudRate(line.speed))
                    && (same(m_port->parity(), parity) || m_port->setParity(parity))
                    && (same(m_port->dataBits(), dataBits) || m_port->setDataBits(dataBits))
                    && (same(m_port->stopBits(), stopBits) || m_port->setStopBits(stopBits))
                    && (same(m_port->flowControl(), flow) || m_port->setFlowControl(flow));
    m_configuring = wasConfiguring;
    if (!ok)
        return {CommErrorNumber::DeviceRefusedSettings, m_port->errorString()};
    return {};
}

CommError DeviceTransport::applyHandshaking(int mode)
{
    m_configuring = true;
    const bool ok = m_port->setFlowControl(flowControlOf(mode));
    m_configuring = false;
    if (!ok)
        return {CommErrorNumber::DeviceRefusedSettings, m_port->errorString()};
    m_handshaking = mode;
    return {};
}

// Pseudo-terminals have no modem lines and refuse; a real cable may draw power from them.
void DeviceTransport::applyModemLines(bool dtr, bool rts, int handshaking)
{
    const bool wasConfiguring = m_configuring;
    m_configuring = true;
    m_port->setDataTerminalReady(dtr);
    if (handshaking != 2)
        m_port->setRequestToSend(rts);
    m_configuring = wasConfiguring;
}

// With nothing queued before them the bytes go to the driver at once: left to QSerialPort
// they would wait for a later pass of the event loop, behind whatever the handler that sent
// them left to do (a progress bar's repaint), and the radio would wait with them. The device
// is non-blocking, so this never waits for the line; what the driver does not take now is
// queued, and flush() is never called, as it would wait for the line to drain.
CommError DeviceTransport::write(const QByteArray &bytes)
{
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
    }
    return {};
}

qint64 DeviceTransport::bytesToWrite() const
{
    return m_port->bytesToWrite();
}
qint64 DeviceTransport::bytesAvailable() const
{
    return m_port->bytesAvailable();
}
QByteArray DeviceTransport::read(qint64 max)
{
    return max > 0 ? m_port->read(max) : m_port->readAll();
}

void DeviceTransport::checkLine()
{
    if (!m_lineWatch.isActive())
        return;
    const LineStatus now = m_lineStatusReader(m_port->handle());
    const QList<int> codes = ::lineEvents(m_lineStatus, now);
    m_lineStatus = now;
    if (!codes.isEmpty())
        emit lineEvents(codes);
}

// Qt 6 reports neither line changes nor framing, parity or break conditions: checkLine reads
// them from the driver. What Qt does report after an open: ResourceError, ReadError and
// WriteError mean the device has gone or takes nothing more (a pulled USB cable, a closed pty
// master; Qt keeps polling a hung-up pty and would spin the event loop), so the device closes
// at once. Everything else answers one of our own calls and is returned by that call instead.
void DeviceTransport::onErrorOccurred()
{
    const QSerialPort::SerialPortError error = m_port->error();
    if (error == QSerialPort::NoError || m_configuring || m_devicePath.isEmpty())
        return;
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        closeNow();
        emit lost();
        break;
    default: break;
    }
}

CommError DeviceTransport::probe(const QString &devicePath)
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
