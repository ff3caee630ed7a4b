#include "serial/serialcontrol.h"

#include "serial/devicetransport.h"
#include "serial/networktransport.h"
#include "serial/portnamespace.h"

#include <QMetaObject>

#include <cerrno>
#include <cstring>

namespace {

CommError checkRange(int value, int lowest, int highest)
{
    if (value < lowest || value > highest)
        return {CommErrorNumber::InvalidPropertyValue, QStringLiteral("Invalid property value")};
    return {};
}

constexpr int kLargest16Bit = 32767;

}  // namespace

SerialControl::SerialControl(QObject *parent) : QObject(parent) {}

SerialControl::~SerialControl()
{
    closeNow();
}

int SerialControl::CommPort() const
{
    return m_commPort;
}

CommError SerialControl::setCommPort(int port)
{
    if (PortOpen())
        return {CommErrorNumber::PortAlreadyOpen, QStringLiteral("Port already open")};
    if (port < 1 || port > kLargestPortNumber)
        return {CommErrorNumber::InvalidPortNumber, QStringLiteral("Invalid port number")};
    m_commPort = port;
    return {};
}

QString SerialControl::Settings() const
{
    return m_settings;
}

CommError SerialControl::setSettings(const QString &settings)
{
    CommError error;
    const std::optional<LineSettings> line = parseLineSettings(settings, &error);
    if (!line)
        return error;
    if (PortOpen()) {
        error = m_transport->applyLine(*line);
        if (error.failed()) {
            if (PortOpen())
                m_transport->applyLine(setup().line);
            return error;
        }
    }
    m_settings = settings;
    return {};
}

bool SerialControl::PortOpen() const
{
    return m_open;
}

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

LineSetup SerialControl::setup() const
{
    CommError ignored;
    return {parseLineSettings(m_settings, &ignored).value_or(LineSettings{}), m_handshaking,
            m_dtrEnable, m_rtsEnable};
}

CommError SerialControl::open()
{
    const QString endpoint =
        m_pinnedDevice.isEmpty() ? resolvePortName(portNameOf(m_commPort)) : m_pinnedDevice;
    if (endpoint.isEmpty())
        return {CommErrorNumber::OpenFailed, QString::fromLocal8Bit(std::strerror(ENOENT))};
    if (!m_transport || !m_transport->serves(endpoint)) {
        m_transport.reset();  // a device kept open really closes
        if (NetworkTransport::servesAddress(endpoint)) {
            m_transport = std::make_unique<NetworkTransport>();
        } else {
            auto device = std::make_unique<DeviceTransport>();
            if (m_lineStatusReader)
                device->setLineStatusReader(m_lineStatusReader);
            m_transport = std::move(device);
        }
        connect(m_transport.get(), &Transport::readyRead, this, &SerialControl::onReadyRead);
        connect(m_transport.get(), &Transport::bytesWritten, this, &SerialControl::onBytesWritten);
        connect(m_transport.get(), &Transport::lineEvents, this, &SerialControl::onLineEvents);
        connect(m_transport.get(), &Transport::lost, this, [this] { closeNow(); });
    }
    m_receivePending = false;
    m_sendWatch = false;
    m_pendingCodes.clear();
    CommError error = m_transport->open(endpoint, setup());
    if (error.failed())
        return error;
    m_open = true;
    // Nothing raised during the open (a server's first line report) belongs to the transfer.
    m_receivePending = false;
    m_pendingCodes.clear();
    return {};
}

void SerialControl::closeNow(bool keepDevice)
{
    if (m_transport)
        m_transport->close(keepDevice && m_open);
    m_open = false;
    // Nothing that was waiting is delivered into a closed port, nor into the next open.
    m_receivePending = false;
    m_sendWatch = false;
    m_pendingCodes.clear();
}

CommError SerialControl::setHandshaking(int mode)
{
    // Qt drives either RTS/CTS or XON/XOFF, not both at once (3).
    CommError error = checkRange(mode, 0, 2);
    if (error.failed())
        return error;
    if (PortOpen()) {
        error = m_transport->applyHandshaking(mode);
        if (error.failed())
            return error;
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
        m_transport->applyModemLines(m_dtrEnable, m_rtsEnable, m_handshaking);
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
        m_transport->applyModemLines(m_dtrEnable, m_rtsEnable, m_handshaking);
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
    CommError error = m_transport->write(bytes);
    if (error.failed())
        return error;
    if (m_transport->bytesToWrite() > 0) {
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
    QByteArray bytes = m_transport->read(m_inputLen);
    if (m_nullDiscard)
        bytes.replace(QByteArray(1, '\0'), QByteArray());
    return bytes;
}

QString SerialControl::devicePath() const
{
    return PortOpen() ? m_transport->endpoint() : QString();
}

void SerialControl::setLineStatusReader(LineStatusReader reader)
{
    m_lineStatusReader = reader;
    if (auto *device = qobject_cast<DeviceTransport *>(m_transport.get()))
        device->setLineStatusReader(std::move(reader));
}

void SerialControl::onLineEvents(const QList<int> &codes)
{
    if (!PortOpen())
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

SerialControl::EventHold::~EventHold()
{
    m_control.release();
}

// Never emitted from inside the transport's own signal: a handler that opens a modal dialog
// would otherwise run inside readyRead, and Qt does not report data arriving meanwhile.
void SerialControl::onReadyRead()
{
    if (!PortOpen())
        return;
    m_receivePending = true;
    scheduleDelivery();
}

void SerialControl::onBytesWritten()
{
    if (!m_sendWatch || m_sThreshold <= 0 || m_transport->bytesToWrite() >= m_sThreshold)
        return;
    m_sendWatch = false;
    m_pendingCodes.append(CommEventCode::Send);
    scheduleDelivery();
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
    if (m_holds == 0 && m_receivePending && PortOpen())
        m_transport->checkLine();
    while (m_holds == 0 && !m_pendingCodes.isEmpty())
        deliver(m_pendingCodes.takeFirst());
    if (m_holds > 0 || !m_receivePending)
        return;
    m_receivePending = false;
    if (PortOpen() && m_rThreshold > 0 && m_transport->bytesAvailable() >= m_rThreshold)
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
    if (NetworkTransport::servesAddress(devicePath))
        return NetworkTransport::checkAddress(devicePath);
    return DeviceTransport::probe(devicePath);
}

// Compiled here rather than with every other class of the library, so a program linking the
// serial control pulls in no other subsystem.
#include "moc_devicetransport.cpp"  // NOLINT(bugprone-suspicious-include): moc output, on purpose
#include "moc_serialcontrol.cpp"    // NOLINT(bugprone-suspicious-include): moc output, on purpose
#include "moc_transport.cpp"        // NOLINT(bugprone-suspicious-include): moc output, on purpose
