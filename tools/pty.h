#pragma once
// A pseudo-terminal that stands in for a serial port: the tool opens the slave side as its
// device, the owner of this object talks on the master side. The slave is put in raw mode and
// held open here, so the master never sees a hang-up between two opens by the tool.

#include <QByteArray>
#include <QString>

class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isOpen() const { return m_master >= 0; }
    int masterFd() const { return m_master; }
    QString slavePath() const { return m_slavePath; }

    // Writes all bytes to the master side (what the tool will receive).
    bool write(const QByteArray &bytes);
    // Reads what the tool has sent, waiting up to timeoutMs for the first byte, then taking
    // everything that follows within settleMs.
    QByteArray read(int timeoutMs, int settleMs = 20);
    // True while bytes written to the master wait unread on the tool's side.
    bool slaveHasUnread() const;
    // Closes the master side: the tool's device hangs up, as when a cable is pulled.
    void closeMaster();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};

// A folder of port names for REPLIX_PORT_DIR: "COMn" entries that link to devices.
class PortFolder {
public:
    PortFolder();  // a new temporary folder, removed with this object
    ~PortFolder();
    QString path() const { return m_path; }
    // Publishes target (a device path) as port n.
    bool publish(int portNumber, const QString &target);
    void unpublish(int portNumber);
    // Points REPLIX_PORT_DIR at this folder for this process.
    void makeCurrent() const;

private:
    QString m_path;
};
