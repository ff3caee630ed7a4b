#pragma once
// The way from the serial control to a line: a local device or a remote cable. The control
// keeps the properties, the event holds and the delivery; a transport only moves bytes, sets
// the line and tells what happened on it.

#include "serial/commerror.h"
#include "serial/linesettings.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

// What a transport is opened with.
struct LineSetup {
    LineSettings line;
    int handshaking = 0;  // 0 none, 1 XON/XOFF, 2 RTS/CTS
    bool dtr = false;
    bool rts = false;
};

class Transport : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // True when this transport is the one for the endpoint (a device path or a URL).
    virtual bool serves(const QString &endpoint) const = 0;
    // Opens the endpoint with the setup, bytes from before the open thrown away. A failure
    // leaves it closed. May run the event loop for a bounded time, user input excluded.
    virtual CommError open(const QString &endpoint, const LineSetup &setup) = 0;
    // keep: a device stays held for the next open of the same endpoint.
    virtual void close(bool keep) = 0;
    // The endpoint as opened (a device's real path), empty while closed.
    virtual QString endpoint() const = 0;

    virtual CommError applyLine(const LineSettings &line) = 0;
    virtual CommError applyHandshaking(int mode) = 0;
    virtual void applyModemLines(bool dtr, bool rts, int handshaking) = 0;

    // Queues the bytes for sending in order; what is not sent at once is sent as the line takes it.
    virtual CommError write(const QByteArray &bytes) = 0;
    virtual qint64 bytesToWrite() const = 0;
    virtual qint64 bytesAvailable() const = 0;
    // At most max bytes, or all that arrived when max is 0.
    virtual QByteArray read(qint64 max) = 0;
    // Reports line changes not yet told, now (received bytes are about to be delivered).
    virtual void checkLine() {}

signals:
    void readyRead();
    void bytesWritten();
    // Line and error events, CommEventCode values, in the order they happened.
    void lineEvents(const QList<int> &codes);
    // The line has gone (a pulled cable, a server that went away); the transport has closed.
    void lost();
};
