#pragma once
// The serial communications control: the window's only way to the serial device. It keeps
// the contract the rest of the tool relies on (port number, settings string, open state,
// set-up properties, Output, Input and one communication event), the event holds and the
// delivery; the line itself is a transport, chosen at each open by what the port name stands
// for: a local device, or a remote cable (rfc2217:// or tcp://, see serial/networktransport.h).
//
// A property change the control refuses returns a CommError with a number and a description
// that callers quote in their messages; nothing throws.

#include "serial/commerror.h"
#include "serial/devicetransport.h"
#include "serial/linesettings.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class Transport;

class SerialControl : public QObject {
    Q_OBJECT
public:
    explicit SerialControl(QObject *parent = nullptr);
    ~SerialControl() override;

    // Port number n stands for the port named "COM" + n (see serial/portnamespace.h).
    // Changed only while the port is closed.
    int CommPort() const;
    CommError setCommPort(int port);

    // "speed,parity,databits,stopbits", e.g. "9600,n,8,1". A speed the control does not
    // support, or a malformed string, is refused and the old settings stay.
    QString Settings() const;
    CommError setSettings(const QString &settings);

    // Setting true opens the port named "COM" + CommPort, false closes it. A remote cable is
    // connected and negotiated within the open, which runs the event loop for a few seconds
    // at most with user input held back; its first frame never waits for the server.
    bool PortOpen() const;
    CommError setPortOpen(bool open);
    // For a test harness that opens and closes one device thousands of times: a close leaves
    // the device open and locked, reported closed, and the next open of the same device takes
    // it back, set up and cleared as a real open would. Off unless set.
    void setKeepDeviceOpen(bool keep) { m_keepDevice = keep; }
    // The device (or remote cable) this control opens whatever its port number: its owner's
    // pin, so that many controls in one program each keep their own. Empty: by the number.
    void pinDevice(const QString &device) { m_pinnedDevice = device; }

    // Set-up properties, applied once at start-up.
    int Handshaking() const { return m_handshaking; }
    CommError setHandshaking(int mode);
    int InputMode() const { return m_inputMode; }
    CommError setInputMode(int mode);
    QString ParityReplace() const { return m_parityReplace; }
    CommError setParityReplace(const QString &replacement);
    bool DTREnable() const { return m_dtrEnable; }
    CommError setDTREnable(bool enable);
    bool NullDiscard() const { return m_nullDiscard; }
    CommError setNullDiscard(bool discard);
    bool RTSEnable() const { return m_rtsEnable; }
    CommError setRTSEnable(bool enable);
    bool EOFEnable() const { return m_eofEnable; }
    CommError setEOFEnable(bool enable);
    int InBufferSize() const { return m_inBufferSize; }
    CommError setInBufferSize(int size);
    int InputLen() const { return m_inputLen; }
    CommError setInputLen(int len);
    int OutBufferSize() const { return m_outBufferSize; }
    CommError setOutBufferSize(int size);
    int RThreshold() const { return m_rThreshold; }
    CommError setRThreshold(int threshold);
    int SThreshold() const { return m_sThreshold; }
    CommError setSThreshold(int threshold);

    // Queues the bytes for sending, in order, one byte each. Refused while the port is closed.
    CommError Output(const QByteArray &bytes);
    // Every byte received and not yet read (byte 00 and 1A included), removed from the buffer.
    QByteArray Input();
    // The code of the event being reported by OnComm.
    int CommEvent() const { return m_commEvent; }

    // The device path (or remote cable's address) the port is opened on, empty while closed.
    QString devicePath() const;

    // The speeds Settings accepts (see serial/linesettings.h).
    static const QList<int> &supportedSpeeds() { return ::supportedSpeeds(); }

    // Opens the device and closes it again at once, taking the same locks as a real open.
    // No error means nobody held the device at this moment.
    static CommError probeDevice(const QString &devicePath);

    // Reports an event through OnComm as the control would (used for line and error events,
    // and by tests to raise the codes a pseudo-terminal cannot produce).
    void raiseCommEvent(int code);

    // While a device is open its line status is read every kLineWatchInterval and before
    // received bytes are delivered; each changed counter or input line raises its event.
    // The reader is the driver's own unless a test gives another; it takes effect at the
    // next open.
    static constexpr int kLineWatchInterval = DeviceTransport::kLineWatchInterval;  // ms
    void setLineStatusReader(LineStatusReader reader);

    // While a hold exists, no event is delivered: received bytes wait, in order, and arrive in
    // one receive event after the last hold is released. Every window handler holds events for
    // its whole run, so a modal dialog's nested event loop never re-enters the window.
    class EventHold {
    public:
        explicit EventHold(SerialControl &control);
        ~EventHold();
        EventHold(const EventHold &) = delete;
        EventHold &operator=(const EventHold &) = delete;

    private:
        SerialControl &m_control;
    };

signals:
    // The communication event: read CommEvent() for its code.
    void OnComm();

private:
    CommError open();
    // Closes the port; keepDevice leaves the device open and locked for the next open.
    void closeNow(bool keepDevice = false);
    LineSetup setup() const;
    void onReadyRead();
    void onBytesWritten();
    void onLineEvents(const QList<int> &codes);
    void scheduleDelivery();
    void deliverPending();
    void deliver(int code);
    void release();

    std::unique_ptr<Transport> m_transport;  // the last one opened; a kept device stays in it
    bool m_open = false;
    bool m_keepDevice = false;
    QString m_pinnedDevice;
    int m_commPort = 1;
    QString m_settings = QStringLiteral("9600,n,8,1");
    int m_handshaking = 0;
    int m_inputMode = 0;
    QString m_parityReplace = QStringLiteral("?");
    bool m_dtrEnable = false;
    bool m_nullDiscard = false;
    bool m_rtsEnable = false;
    bool m_eofEnable = false;
    int m_inBufferSize = 1024;
    int m_inputLen = 0;
    int m_outBufferSize = 512;
    int m_rThreshold = 0;
    int m_sThreshold = 0;
    int m_commEvent = 0;
    int m_holds = 0;
    bool m_receivePending = false;
    bool m_sendWatch = false;  // output queued since the last send event
    bool m_deliveryQueued = false;
    QList<int> m_pendingCodes;            // line and error events raised while held
    LineStatusReader m_lineStatusReader;  // for the next device opened; empty: the driver's
};
