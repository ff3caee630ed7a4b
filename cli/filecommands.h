#pragma once
// The file commands of replix-cli as plain functions: each takes paths and option texts as the
// user gave them and returns what the program prints and its exit status, without exiting.
// Nothing here needs a display or a serial port.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdio>

struct IcfImage;

namespace ExitStatus {
inline constexpr int kOk = 0;           // success; the same; every file whole
inline constexpr int kFailed = 1;       // different; a file not whole; a file for another radio
inline constexpr int kTrouble = 2;      // bad usage; an input unreadable or damaged; an output that
                                        // cannot be written; REPLIX_PORT_DIR unusable
inline constexpr int kPort = 3;         // no such port, or it cannot be opened (in use, permission)
inline constexpr int kRadio = 4;        // the radio did not answer, or the transfer failed
inline constexpr int kSignalled = 128;  // plus the signal's number: Ctrl-C 130, SIGTERM 143,
                                        // SIGHUP 129; nothing saved
}  // namespace ExitStatus

struct CommandResult {
    int status = ExitStatus::kOk;
    QByteArray out;  // standard output
    QByteArray err;  // standard error: lines "replix-cli: ..."
};

// Why path cannot take a saved file (a folder, a device, a pipe); empty when it can.
QString unfitOutput(const QString &path);

// True when both names lead to one file (the same device and inode), so that a link or "./x"
// is caught as well as the same name; false when either cannot be looked up.
bool sameFile(const QString &a, const QString &b);
// When output is the same file as input: "OUTPUT: is both the OUTPUTROLE and the INPUTROLE",
// with the input's name behind when the user wrote it otherwise. Empty when they differ.
QString sameFileClash(const QString &input, const QString &output, const QString &inputRole,
                      const QString &outputRole);

// A command-line argument whose bytes the system's name encoding (UTF-8) does not carry: it
// would reach the system as another name. The message shows it with such bytes as \xNN;
// empty when the argument comes back whole.

// Writes all of bytes to the stream and flushes it; false with the system's reason (errno)
// when any of that fails.
bool writeAll(FILE *to, const QByteArray &bytes, QString *reason);

// "replix-cli: " + text + "\n", the one form of every error and message line.
QByteArray errorLine(const QString &text);

// Model, comment, records, record sizes, address range, data bytes and verdict of each file.
// Status 2 when a file cannot be read, 0 otherwise.
// json: one JSON list of objects instead (keys file, model, comment, verdict; of a whole file
// also records, record_sizes, lowest, highest, data_bytes).
CommandResult infoCommand(const QStringList &files, bool json = false);
// One verdict line a file; 0 when every file is whole, 1 when one is not, 2 when one cannot
// be read.
// json: a list of objects with keys file, whole, verdict.
CommandResult checkCommand(const QStringList &files, bool json = false);
// Header differences, the changed address ranges with their old and new byte values (the first
// 16 of a range, and how many more), bytes held by one file only, a summary line; 0 the same,
// 1 different, 2 when either cannot be read or is damaged.
CommandResult diffCommand(const QString &fileA, const QString &fileB, bool json = false);
// The comparison diffCommand prints, of two loaded images; *differ tells the outcome. json: one
// object with keys identical, model_a, model_b, comment_a, comment_b, ranges (each first, last,
// kind "differ", "only_a" or "only_b", old and new as hex bytes), bytes_differ, ranges_differ,
// bytes_only_a, bytes_only_b; sideA and sideB in place of "a" and "b" in those keys.
QByteArray diffImages(const IcfImage &a, const QString &nameA, const IcfImage &b,
                      const QString &nameB, bool *differ, bool json = false,
                      const QString &sideA = QStringLiteral("a"),
                      const QString &sideB = QStringLiteral("b"));
// Two header lines ("model: ", "comment: "), then the image, 16 bytes a line with address and
// printable column; one line "*" for a run of lines no record covers, "--" for a byte no record
// gives within a line.
CommandResult dumpCommand(const QString &file);
// The image as raw bytes from its lowest address to its highest, gaps filled with fillHex (two
// hex digits); prints the values import needs to give the file back. With valuesTo they are
// written there before the raw file is put in place (out stays empty): when they cannot be,
// no raw file is made.
CommandResult exportCommand(const QString &file, const QString &outBin, const QString &fillHex,
                            FILE *valuesTo = nullptr);

struct ImportOptions {
    QString model;                        // 8 hex digits
    QString comment;                      // up to 16 bytes, \xNN escapes allowed
    QString recordSize;                   // 1 to 255
    QString start = QStringLiteral("0");  // first address, decimal or 0x hex
};
// Cuts the raw bytes into records and saves them as an ICF file, atomically; nothing is
// written when any option or the input is wrong.
CommandResult importCommand(const QString &inBin, const ImportOptions &options,
                            const QString &outIcf);
