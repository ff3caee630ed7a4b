#pragma once
// An ICF file taken whole into memory, for the command line's file commands: its header lines,
// its records, and the verdict of the same whole-file check a write to the radio makes.

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

struct IcfRecord {
    int address = 0;
    QByteArray bytes;
};

struct IcfImage {
    enum class Verdict { Whole, Damaged, NoRecords };

    QByteArray model;          // the model line as the file has it
    QByteArray comment;        // the comment line without its "#"
    QList<IcfRecord> records;  // in file order; empty unless every line decodes (readable)
    Verdict verdict = Verdict::NoRecords;
    int damagedLine = 0;    // Damaged: the file's first bad line, counted from 1
    QString damagedReason;  // Damaged: "line 58: record cut short (31 of 74 characters)"

    // "ok", "damaged at line N: why" or "no memory records".
    QString verdictText() const;
    bool whole() const { return verdict == Verdict::Whole; }
    // Whole, or every record sound but with a hole in their run: the bytes can be shown,
    // compared and exported, but the file is no whole image of a radio.
    bool readable() const { return whole() || !records.isEmpty(); }
};

// Every address an image can hold a byte at: a record may start at FFFF and run 255 bytes on.
inline constexpr int kAddressSpace = 0x10000 + 255;

// The bytes of an image by address; a later record over an earlier one wins, as in the radio.
struct MemoryMap {
    // Only the span the records give is held: bytes[i] is the byte at lowest + i.
    QByteArray bytes;
    QByteArray present;  // 1 where a record gave the byte
    int lowest = -1;     // -1 when no record holds a byte
    int highest = -1;

    static MemoryMap of(const IcfImage &image);
    // Only the lowest and highest address that records give a byte (-1 and -1: none), which
    // takes no map of the whole address space.
    static std::pair<int, int> spanOf(const IcfImage &image);
    bool has(int address) const
    {
        return lowest >= 0 && address >= lowest && address <= highest
               && present.at(address - lowest) != 0;
    }
    char at(int address) const { return bytes.at(address - lowest); }
    // The n bytes from address on, of those the span holds.
    QByteArray range(int address, int n) const { return bytes.mid(address - lowest, n); }
};

// Loads the file. False with a one-line reason (no file name in it) when the file cannot be
// read at all: missing, a folder, unreadable. A file that can be read always loads, with its
// verdict; one with fewer than two lines is damaged at the first line it lacks.
bool loadIcf(const QString &path, IcfImage *image, QString *error);

// The comment as text: printable ASCII as it is, every other byte and the backslash as \xNN.
QString escapedComment(const QByteArray &comment);
// escapedComment for showing a header line: one longer than any a radio writes is cut, and
// says how long it was.
QString shownHeader(const QByteArray &header);
// The reverse: \xNN gives the byte NN, "\\" a backslash, anything else its own Latin-1 byte.
// False for a malformed escape or a character beyond Latin-1.
bool unescapeComment(const QString &text, QByteArray *comment);
