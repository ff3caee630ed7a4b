#pragma once
// The transfer commands of replix-cli: the window's own read and write, driven from the command
// line. A conversation (link/conversation.h) runs each transfer; its questions and dialogs are
// answered from the command line and its messages go to standard error. Needs a
// QCoreApplication.

#include <QString>

struct TransferRequest {
    enum class Kind { Read, Write, Verify };
    Kind kind = Kind::Read;
    QString port;  // a port number, "COMn", or a device path; or a list: "1,2,3", "1-4"
    QString speed = QStringLiteral("9600");
    QString file;        // read: the file to make; write and verify: the file to send or compare
    QString backupDir;   // read: make a new file here, named from the model and the time
    QString backupFile;  // write: read the radio into this file first; write only if that succeeds
    bool json = false;   // verify: the comparison as JSON; many ports: one object a port
    bool acceptVersion = false;  // answer the other-version question "yes"
    bool quiet = false;          // no progress
    bool trace = false;          // the conversation log on standard error as it grows
};

// Runs the transfer to its end and returns the exit status (see ExitStatus). Prints to standard
// output (verify's comparison, the name of a backup) and error.
int runTransfer(const TransferRequest &request);

// Every port number of the window's namespace with its device and whether it is free, in use,
// missing or not openable and why; json: a list of objects with keys port, device, state,
// reason. 0 when a port is listed, 1 when none is, 2 when REPLIX_PORT_DIR cannot serve.
int portsCommand(bool json);
