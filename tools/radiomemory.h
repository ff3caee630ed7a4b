#pragma once
// The virtual radio's memory and its two outside forms: the checksummed hex text of a
// DataRecord frame, and the ICF file. Written apart from the tool's own codec on purpose, so
// that tests comparing the two catch a fault in either.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// One memory record: up to 255 bytes starting at a 16-bit address.
struct RadioRecord {
    quint16 address = 0;
    QByteArray bytes;

    friend bool operator==(const RadioRecord &, const RadioRecord &) = default;
};

// What an ICF file holds.
struct RadioImage {
    QByteArray modelCode;  // the bytes behind the model line's hex digits
    QByteArray comment;    // the bytes behind the comment line's "#"
    QList<RadioRecord> records;
};

namespace RadioMemory {

// The record as upper-case hex text: 4 digits address, 2 digits count, 2 per data byte.
QByteArray recordLine(const RadioRecord &record);
// Two's complement of the byte sum of the hex pairs in line (an even number of hex digits).
quint8 checksumOf(QByteArrayView line);
// The record line followed by its two checksum digits, as a DataRecord frame carries it.
QByteArray recordFrameData(const RadioRecord &record);
// Parses a DataRecord's data: upper-case hex, a count that matches the data, a right checksum.
std::optional<RadioRecord> parseRecordFrameData(QByteArrayView data);

// A line of upper-case hex digits as the file stores it: every character 55 higher.
QByteArray encodeLine(QByteArrayView line);
// The stored line back to a record; nothing when any character or the count is wrong.
std::optional<RadioRecord> decodeStoredLine(QByteArrayView stored);

// The whole file: model line, comment line, one stored line per record, each ending CR LF.
QByteArray icfText(const RadioImage &image);
// Reads a file made by icfText (or by the tool). On failure gives nothing and says why, with
// the number of the offending line counted from 1.
std::optional<RadioImage> parseIcf(const QByteArray &text, QString *error = nullptr);

// Cuts image into records of recordSize bytes, the first at startAddress. Bytes that would
// lie past address FFFF are left out.
QList<RadioRecord> splitIntoRecords(const QByteArray &image, int recordSize, quint16 startAddress);
// size bytes in which every byte value occurs in each run of 256, and no two runs are alike.
QByteArray patternedImage(int size);

}  // namespace RadioMemory
