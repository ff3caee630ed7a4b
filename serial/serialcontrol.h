#pragma once
// The serial communications control: the window's only way to the serial device. It keeps
// the contract the rest of the tool relies on (port number, settings string, open state,
// set-up properties, Output, Input and one communication event), built on QSerialPort.
//
// A property change the control refuses returns a CommError with a number and a description
// that callers quote in their messages; nothing throws.

#include <QByteArray>
#include <QObject>
#include <QString>

class QSerialPort;

struct CommError {
    int number = 0;  // 0: no error
    QString description;
    bool failed() const { return number != 0; }
};

// Codes of the communication event.
namespace CommEventCode {
inline constexpr int Send = 1;
inline constexpr int Receive = 2;
inline constexpr int CtsChanged = 3;
inline constexpr int DsrChanged = 4;
inline constexpr int CdChanged = 5;
inline constexpr int Ring = 6;
inline constexpr int EndOfFile = 7;
inline constexpr int Break = 1001;
inline constexpr int CtsTimeout = 1002;
inline constexpr int DsrTimeout = 1003;
inline constexpr int Framing = 1004;
inline constexpr int Overrun = 1006;
inline constexpr int CdTimeout = 1007;
inline constexpr int ReceiveOverflow = 1008;
inline constexpr int Parity = 1009;
inline constexpr int TransmitFull = 1010;
inline constexpr int DcbError = 1011;
} // namespace CommEventCode

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

    // Setting true opens the port named "COM" + CommPort, false closes it.
    bool PortOpen() const;
    CommError setPortOpen(bool open);

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

    // The device path the port is opened on, empty while closed.
    QString devicePath() const;

    // Reports an event through OnComm as the control would (used for line and error events,
    // and by tests to raise the codes a pseudo-terminal cannot produce).
    void raiseCommEvent(int code);

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
    void onReadyRead();
    void onBytesWritten();
    void onErrorOccurred();
    void deliverPending();
    void release();

    QSerialPort *m_port;
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
};
