#pragma once
// The local serial device: QSerialPort under our own advisory lock, low latency asked for,
// and the driver's line status read for the line and error events Qt does not report.

#include "serial/transport.h"

#include <QTimer>

#include <functional>
#include <optional>

class QSerialPort;

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

class DeviceTransport : public Transport {
    Q_OBJECT
public:
    explicit DeviceTransport(QObject *parent = nullptr);
    ~DeviceTransport() override;

    // While the device is open the line status is read every kLineWatchInterval and before
    // received bytes are delivered. The reader takes effect at the next open.
    static constexpr int kLineWatchInterval = 50;  // ms
    void setLineStatusReader(LineStatusReader reader) { m_lineStatusReader = std::move(reader); }

    // Opens the device and closes it again at once, under the same locks as a real open.
    static CommError probe(const QString &devicePath);

    bool serves(const QString &endpoint) const override;
    CommError open(const QString &endpoint, const LineSetup &setup) override;
    void close(bool keep) override;
    QString endpoint() const override { return m_devicePath; }
    CommError applyLine(const LineSettings &line) override;
    CommError applyHandshaking(int mode) override;
    void applyModemLines(bool dtr, bool rts, int handshaking) override;
    CommError write(const QByteArray &bytes) override;
    qint64 bytesToWrite() const override;
    qint64 bytesAvailable() const override;
    QByteArray read(qint64 max) override;
    void checkLine() override;

private:
    CommError applyLineChanges(const LineSettings &line, int handshaking, bool onlyChanges);
    void onErrorOccurred();
    void closeNow();

    QSerialPort *m_port;
    int m_lockFd = -1;  // our own descriptor of the open device; holds its advisory lock
    QString m_devicePath;
    QString m_parkedPath;  // the device left open by close(keep)
    int m_handshaking = 0;
    bool m_configuring = false;  // our own calls into the port report errors by result
    LineStatusReader m_lineStatusReader;
    LineStatus m_lineStatus;  // as last read, while open
    QTimer m_lineWatch;
};

// The events for what changed from before to now, errors first; nothing for a part that
// either reading lacks.
QList<int> lineEvents(const LineStatus &before, const LineStatus &now);
