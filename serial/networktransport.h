#pragma once
// A remote cable: a serial line served over the network.
//   rfc2217://HOST:PORT  Telnet with the com port control option: the line's speed and
//                        format are set at the far end, and its line events come back.
//   tcp://HOST:PORT      the bare byte stream; the far end's own settings hold.
// The open connects and negotiates within a bounded wait (the event loop runs, user input
// held back), so the first frame is sent on a line that is ready; a speed change waits the
// same way. Every wait returns: answered, refused, timed out, the connection lost, the port
// closed or the program ending meanwhile. A server that goes away afterwards is a pulled cable.

#include "serial/telnetcodec.h"
#include "serial/transport.h"

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class QTcpSocket;

class NetworkTransport : public Transport {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kConnectTimeout{4000};
    // For the server's answers to the line settings, sent together.
    static constexpr std::chrono::milliseconds kAnswerTimeout{2000};

    explicit NetworkTransport(QObject *parent = nullptr);
    ~NetworkTransport() override;

    // True for a name of the form rfc2217://... or tcp://..., well formed or not.
    static bool servesAddress(const QString &name);
    // No error when the address is well formed: SCHEME://HOST:PORT. The description does not
    // repeat the address: whoever shows it names the address once.
    static CommError checkAddress(const QString &address);

    bool serves(const QString &endpoint) const override { return servesAddress(endpoint); }
    CommError open(const QString &endpoint, const LineSetup &setup) override;
    void close(bool keep) override;
    QString endpoint() const override;
    CommError applyLine(const LineSettings &line) override;
    CommError applyHandshaking(int mode) override;
    void applyModemLines(bool dtr, bool rts, int handshaking) override;
    CommError write(const QByteArray &bytes) override;
    qint64 bytesToWrite() const override;
    qint64 bytesAvailable() const override { return m_received.size(); }
    QByteArray read(qint64 max) override;

private:
    enum class Step { Closed, Connecting, Negotiating, Configuring, Open };
    // The open's wait, or a setting's: the event loop runs until its one way out, end(), is
    // taken, or its own deadline passes.
    struct Wait {
        QEventLoop loop;
        QTimer deadline;
        std::optional<CommError> result;
    };
    void onConnected();
    void onSocketError();
    void onReadyRead();
    void handle(const TelnetItem &item);
    void handleNegotiation(quint8 verb, quint8 option);
    void handleComPort(const QByteArray &payload);
    void sendComPort(quint8 command, const QByteArray &value);
    void queueLine(const LineSettings &line);
    void sendCommands();
    CommError failure(int number, const QString &reason) const;
    CommError waitUntilSettled(std::chrono::milliseconds limit, const std::function<void()> &start);
    void onDeadline();
    void end(const CommError &result, bool dropLine);
    void dropConnection();

    QTcpSocket *m_socket = nullptr;
    QString m_address;   // as the user gave it
    QString m_hostPort;  // HOST:PORT ([HOST]:PORT for IPv6), the prefix of every message
    bool m_telnet = false;
    Step m_step = Step::Closed;
    Wait *m_wait = nullptr;  // the wait running, if any
    LineSetup m_setup;
    TelnetDecoder m_decoder;
    QByteArray m_received;
    QList<QByteArray> m_commands;         // com port commands sent, each awaiting its answer
    quint8 m_willSent = 0, m_doSent = 0;  // bit per option we have offered (BINARY 1, COM PORT 2)
    quint8 m_lineMask = 0;                // the line-state mask sent, until the server confirms it
    bool m_lineMaskPending = false;
    int m_modemState = -1;  // last reported, -1 before the first report
};
