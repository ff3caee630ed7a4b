#pragma once
// The serial communications control: the window's only way to the serial device. It keeps
// the contract the rest of the tool relies on (port number, settings string, open state,
// set-up properties, Output, Input and one communication event), built on QSerialPort.
//
// A property change the control refuses returns a CommError with a number and a description
// that callers quote in their messages; nothing throws.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class QSerialPort;

struct CommError {
    int number = 0;  // 0: no error
    QString description;
    bool failed() const { return number != 0; }
};

// Numbers of the errors the control refuses a change with. They are stable: messages quote
// them, and users quote messages.
namespace CommErrorNumber {
inline constexpr int InvalidPropertyValue = 101;   // a set-up property out of its range
inline constexpr int InvalidPortNumber = 102;      // CommPort outside 1..32767
inline constexpr int PortAlreadyOpen = 103;        // CommPort changed while the port is open
inline constexpr int PortNotOpen = 104;            // Output while the port is closed
inline constexpr int BadSettings = 105;            // Settings not "speed,parity,data,stop"
inline constexpr int UnsupportedSpeed = 106;       // a speed not in supportedSpeeds()
inline constexpr int OpenFailed = 107;             // the system refused the open; its reason follows
inline constexpr int PortInUse = 108;              // another opener holds the device or its lock
inline constexpr int DeviceRefusedSettings = 109;  // the open device refused the line settings
inline constexpr int CloseFailed = 110;
inline constexpr int WriteFailed = 111;
} // namespace CommErrorNumber

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

// What the driver reports about an open device's line: its error counters (only their changes
// matter) and its modem input lines. A part is missing when the driver keeps none, as a
// pseudo-terminal's does; that is no error, and the control stays silent about it.
struct LineStatus {
    struct Counters {
        int breaks = 0, framing = 0, overrun = 0, bufferOverflow = 0, parity = 0;
    };
    struct Lines {
        bool cts = false, dsr = false, cd = false, ring = false;
    };
    std::optional<Counters> counters;
    std::optional<Lines> lines;
};
// Reads the line status of the open device with the given descriptor.
using LineStatusReader = std::function<LineStatus(int descriptor)>;

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
    // For a test harness that opens and closes one device thousands of times: a close leaves
    // the device open and locked, reported closed, and the next open of the same device takes
    // it back, set up and cleared as a real open would. Off unless set.
    void setKeepDeviceOpen(bool keep) { m_keepDevice = keep; }

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

    // The speeds Settings accepts, ascending: 110 to 14400 of the speed list and the usual
    // higher ones up to 230400.
    static const QList<int> &supportedSpeeds();

    // Opens the device and closes it again at once, taking the same locks as a real open.
    // No error means nobody held the device at this moment.
    static CommError probeDevice(const QString &devicePath);

    // Reports an event through OnComm as the control would (used for line and error events,
    // and by tests to raise the codes a pseudo-terminal cannot produce).
    void raiseCommEvent(int code);

    // While the port is open the line status is read every kLineWatchInterval and before
    // received bytes are delivered; each changed counter or input line raises its event.
    // The reader is the driver's own unless a test gives another; it takes effect at the
    // next open.
    static constexpr int kLineWatchInterval = 50;  // ms
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
    // onlyChanges: leave alone what the port already runs at (right after an open).
    CommError applyLineSettings(const QString &settings, bool onlyChanges = false);
    void applyModemLines();
    void onReadyRead();
    void onBytesWritten();
    void onErrorOccurred();
    void watchLine();
    void scheduleDelivery();
    void deliverPending();
    void deliver(int code);
    void release();

    QSerialPort *m_port;
    int m_lockFd = -1;  // our own descriptor of the open device; holds its advisory lock
    QString m_devicePath;
    bool m_keepDevice = false;
    QString m_parkedPath;  // the device left open by a close while m_keepDevice is set
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
    bool m_sendWatch = false;     // output queued since the last send event
    bool m_deliveryQueued = false;
    bool m_configuring = false;   // our own calls into the port report errors by result
    QList<int> m_pendingCodes;    // line and error events raised while held
    LineStatusReader m_lineStatusReader;
    LineStatus m_lineStatus;      // as last read, while the port is open
    QTimer m_lineWatch;
};
