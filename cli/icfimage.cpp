#include "cli/icfimage.h"

#include "image/clsicomfiles.h"
#include "image/icfformat.h"
#include "image/systemname.h"
#include "link/hextext.h"

#include <algorithm>
#include <tuple>

QString IcfImage::verdictText() const
{
    switch (verdict) {
    case Verdict::Whole: return QStringLiteral("ok");
    case Verdict::Damaged: return QStringLiteral("damaged at ") + damagedReason;
    case Verdict::NoRecords: break;
    }
    return QStringLiteral("no memory records");
}

MemoryMap MemoryMap::of(const IcfImage &image)
{
    MemoryMap map;
    std::tie(map.lowest, map.highest) = spanOf(image);
    if (map.lowest < 0)
        return map;
    const int span = map.highest - map.lowest + 1;
    map.bytes = QByteArray(span, '\0');
    map.present = QByteArray(span, '\0');
    for (const IcfRecord &record : image.records) {
        const int n = int(record.bytes.size());
        std::copy_n(record.bytes.constData(), n, map.bytes.data() + record.address - map.lowest);
        std::fill_n(map.present.data() + record.address - map.lowest, n, char(1));
    }
    return map;
}

std::pair<int, int> MemoryMap::spanOf(const IcfImage &image)
{
    int lowest = -1, highest = -1;
    for (const IcfRecord &record : image.records) {
        const int n = int(record.bytes.size());
        if (n == 0)
            continue;
        if (lowest < 0 || record.address < lowest)
            lowest = record.address;
        highest = std::max(highest, record.address + n - 1);
    }
    return {lowest, highest};
}

bool loadIcf(const QString &path, IcfImage *image, QString *error)
{
    *image = {};
    const NameStatus status = statusOf(path);
    if (!status.exists) {
        *error = QStringLiteral("No such file or directory");
        return false;
    }
    if (status.isDir) {
        *error = QStringLiteral("Is a directory");
        return false;
    }
    if (!status.isFile) {
        *error = QStringLiteral("not a regular file");
        return false;
    }
    clsICOMFiles files;
    if (!files.OpenICFFileForRead(path)) {
        if (!files.inputOpen()) {
            *error = files.inputError();
            return false;
        }
        // The header lines are the file's first two; the first one missing is where it breaks.
        image->verdict = IcfImage::Verdict::Damaged;
        image->damagedLine = files.damagedLine();
        image->damagedReason = image->damagedLine == 1 ? QStringLiteral("line 1: no model line")
                                                       : QStringLiteral("line 2: no comment line");
        image->model = files.RadioModel();
        return true;
    }
    image->model = files.RadioModel();
    image->comment = files.CommentLine().mid(1);
    const clsICOMFiles::DataCheck check = files.CheckICFData();
    if (check.outcome == clsICOMFiles::DataCheck::Damaged) {
        image->verdict = IcfImage::Verdict::Damaged;
        image->damagedLine = check.line;
        image->damagedReason = check.reason;
        if (!check.gapOnly)
            return true;  // records are taken in only when every line decodes
    } else if (check.outcome == clsICOMFiles::DataCheck::NoData) {
        return true;
    } else {
        image->verdict = IcfImage::Verdict::Whole;
    }
    QByteArray line;
    image->records.reserve(files.checkedRecords());
    while (files.GetNextICFLineFromDisk(line)) {
        // Hex digits: the address (4), the count (2), the data.
        image->records.append({RecordAddress(line), HexToBytes(QByteArrayView(line).sliced(6))});
    }
    return true;
}

QString escapedComment(const QByteArray &comment)
{
    QString text;
    for (char c : comment) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\')
            text += QLatin1Char(c);
        else
            text +=
                QStringLiteral("\\x") + QString::number(byte, 16).rightJustified(2, u'0').toUpper();
    }
    return text;
}

QString shownHeader(const QByteArray &header)
{
    // Room for a model line and a comment of escaped bytes, and then some.
    constexpr qsizetype kShown = 64;
    if (header.size() <= kShown)
        return escapedComment(header);
    return escapedComment(header.left(kShown))
           + QStringLiteral("... (%1 bytes)").arg(header.size());
}

bool unescapeComment(const QString &text, QByteArray *comment)
{
    comment->clear();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.unicode() > 0xFF)
            return false;
        if (c != QLatin1Char('\\')) {
            comment->append(char(c.unicode()));
            continue;
        }
        if (text.mid(i + 1, 1) == QLatin1String("\\")) {
            comment->append('\\');
            ++i;
            continue;
        }
        const QString digits = text.mid(i + 2, 2);
        if (text.mid(i + 1, 1) != QLatin1String("x") || digits.size() != 2)
            return false;
        const int high = hexDigitValue(char(digits.at(0).toLatin1()));
        const int low = hexDigitValue(char(digits.at(1).toLatin1()));
        if (high < 0 || low < 0)
            return false;
        comment->append(char(high * 16 + low));
        i += 3;
    }
    return true;
}
