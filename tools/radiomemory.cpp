#include "tools/radiomemory.h"

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";
constexpr int kStoredShift = 55;
constexpr int kCommentLength = 16;
constexpr int kModelDigits = 8;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;  // lower case too: the radio sends and expects upper case only
}

void appendHex(QByteArray &out, quint8 byte)
{
    out.append(kUpperHex[byte >> 4]);
    out.append(kUpperHex[byte & 0x0F]);
}

// Upper-case hex text to bytes; nothing for an odd length or any other character.
std::optional<QByteArray> hexBytes(QByteArrayView text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    QByteArray bytes;
    bytes.reserve(text.size() / 2);
    for (qsizetype i = 0; i < text.size(); i += 2) {
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.append(char(high * 16 + low));
    }
    return bytes;
}

// A record line without checksum: address, count, and exactly count data bytes.
std::optional<RadioRecord> parseLine(QByteArrayView line)
{
    const std::optional<QByteArray> bytes = hexBytes(line);
    if (!bytes || bytes->size() < 3)
        return std::nullopt;
    const int count = quint8(bytes->at(2));
    if (bytes->size() != 3 + count)
        return std::nullopt;
    RadioRecord record;
    record.address = quint16(quint8(bytes->at(0)) << 8 | quint8(bytes->at(1)));
    record.bytes = bytes->mid(3);
    return record;
}

QByteArrayView trimSpaces(QByteArrayView text)
{
    while (!text.isEmpty() && text.front() == ' ')
        text = text.sliced(1);
    while (!text.isEmpty() && text.back() == ' ')
        text.chop(1);
    return text;
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

}  // namespace

namespace RadioMemory {

QByteArray recordLine(const RadioRecord &record)
{
    QByteArray line;
    line.reserve(6 + 2 * record.bytes.size());
    appendHex(line, quint8(record.address >> 8));
    appendHex(line, quint8(record.address & 0xFF));
    appendHex(line, quint8(record.bytes.size()));
    for (char byte : record.bytes)
        appendHex(line, quint8(byte));
    return line;
}

quint8 checksumOf(QByteArrayView line)
{
    unsigned sum = 0;
    for (qsizetype i = 0; i + 1 < line.size(); i += 2)
        sum += unsigned(hexValue(line[i]) * 16 + hexValue(line[i + 1]));
    return quint8(0x100 - (sum & 0xFF));
}

QByteArray recordFrameData(const RadioRecord &record)
{
    QByteArray data = recordLine(record);
    appendHex(data, checksumOf(data));
    return data;
}

std::optional<RadioRecord> parseRecordFrameData(QByteArrayView data)
{
    if (data.size() < 8)
        return std::nullopt;
    const QByteArrayView line = data.first(data.size() - 2);
    const std::optional<QByteArray> sum = hexBytes(data.last(2));
    std::optional<RadioRecord> record = parseLine(line);
    if (!sum || !record || quint8(sum->at(0)) != checksumOf(line))
        return std::nullopt;
    return record;
}

QByteArray encodeLine(QByteArrayView line)
{
    QByteArray stored;
    stored.reserve(line.size());
    for (char c : line)
        stored.append(char(c + kStoredShift));
    return stored;
}

std::optional<RadioRecord> decodeStoredLine(QByteArrayView stored)
{
    QByteArray line;
    line.reserve(stored.size());
    for (char c : trimSpaces(stored)) {
        const bool digit = c >= 'g' && c <= 'p';
        const bool letter = c >= 'x' && c <= '}';
        if (!digit && !letter)
            return std::nullopt;
        line.append(char(c - kStoredShift));
    }
    return parseLine(line);
}

QByteArray icfText(const RadioImage &image)
{
    QByteArray text;
    for (char byte : image.modelCode)
        appendHex(text, quint8(byte));
    text += "\r\n#" + image.comment + "\r\n";
    for (const RadioRecord &record : image.records)
        text += encodeLine(recordLine(record)) + "\r\n";
    return text;
}

std::optional<RadioImage> parseIcf(const QByteArray &text, QString *error)
{
    RadioImage image;
    qsizetype end = text.indexOf('\n');
    QByteArrayView modelLine = QByteArrayView(text).first(end < 0 ? text.size() : end);
    if (modelLine.endsWith('\r'))
        modelLine.chop(1);
    const std::optional<QByteArray> model = hexBytes(modelLine);
    if (end < 0 || modelLine.size() != kModelDigits || !model) {
        setError(error, QStringLiteral("line 1: the model line is not 8 upper-case hex digits"));
        return std::nullopt;
    }
    image.modelCode = *model;

    // The comment bytes may hold CR or LF themselves: take the usual 16 of them when a line
    // end follows, and only otherwise the text up to the first line end.
    qsizetype pos = end + 1;
    if (pos >= text.size() || text.at(pos) != '#') {
        setError(error, QStringLiteral("line 2: the comment line does not begin with #"));
        return std::nullopt;
    }
    if (text.mid(pos + 1 + kCommentLength, 2) == "\r\n") {
        image.comment = text.mid(pos + 1, kCommentLength);
        pos += 1 + kCommentLength + 2;
    } else {
        end = text.indexOf('\n', pos);
        if (end < 0)
            end = text.size();
        image.comment = text.mid(pos + 1, end - pos - 1);
        if (image.comment.endsWith('\r'))
            image.comment.chop(1);
        pos = end + 1;
    }

    for (int lineNumber = 3; pos < text.size(); ++lineNumber) {
        end = text.indexOf('\n', pos);
        if (end < 0)
            end = text.size();
        QByteArrayView stored = QByteArrayView(text).sliced(pos, end - pos);
        if (stored.endsWith('\r'))
            stored.chop(1);
        pos = end + 1;
        if (trimSpaces(stored).isEmpty())
            continue;
        const std::optional<RadioRecord> record = decodeStoredLine(stored);
        if (!record) {
            setError(error, QStringLiteral("line %1: not a stored memory record").arg(lineNumber));
            return std::nullopt;
        }
        image.records.append(*record);
    }
    return image;
}

QList<RadioRecord> splitIntoRecords(const QByteArray &image, int recordSize, quint16 startAddress)
{
    QList<RadioRecord> records;
    if (recordSize < 1 || recordSize > 255)
        return records;
    const qsizetype room = qsizetype(0x10000) - startAddress;
    const qsizetype size = qMin(image.size(), room);
    for (qsizetype offset = 0; offset < size; offset += recordSize)
        records.append({quint16(startAddress + offset),
                        image.mid(offset, qMin<qsizetype>(recordSize, size - offset))});
    return records;
}

QByteArray patternedImage(int size)
{
    // 37 is odd, so 37 * i runs through every byte value in each run of 256; the run number
    // shifts each run so that neighbouring records differ.
    QByteArray image(qMax(size, 0), Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((37 * i + 11 * (i / 256)) & 0xFF);
    return image;
}

}  // namespace RadioMemory
