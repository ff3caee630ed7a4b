#pragma once
// The transfer commands of replix-cli: the window's own read and write, driven from the command
// line. A never-shown frmReadWrite runs the conversation through its own button handlers; its
// questions and dialogs are answered from the command line and its messages go to standard
// error. Needs a QApplication (any platform, "offscreen" does).

#include <QString>

struct TransferRequest {
    enum class Kind { Read, Write, Verify };
    Kind kind = Kind::Read;
    QString port;   // a port number, "COMn", or a device path
    QString speed = QStringLiteral("9600");
    QString file;   // read: the file to make; write and verify: the file to send or compare
    bool acceptVersion = false;  // answer the other-version question "yes"
    bool quiet = false;          // no progress
    bool trace = false;          // the conversation log on standard error as it grows
};

// Runs the transfer to its end and returns the exit status: 0 success (verify: the radio holds
// the file), 1 the transfer failed or the radio differs, 2 bad usage, an unreadable or damaged
// input file, or no such port. Prints to standard output (verify's comparison) and error.
int runTransfer(const TransferRequest &request);
