#include "cli/filecommands.h"

#include "cli/icfimage.h"
#include "image/clsicomfiles.h"
#include "image/systemname.h"
#include "link/hextext.h"
#include "link/userseam.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kDumpWidth = 16;
constexpr int kMaxComment = 16;
constexpr int kHighestAddress = 0xFFFF;
constexpr int kValuesShown = 16;  // byte values diff shows of a range; the rest are counted

QString address(int value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(4, u'0');
}

QByteArray line(const QString &text)
{
    return shownBytes(text) + '\n';
}

QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString plural(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

// Loads a file ("-": standard input), or says on err why not; with needWhole a damaged file is
// refused too, unless its only fault is a hole in its run of addresses (its bytes can still be
// shown).
bool loadFor(const QString &path, IcfImage *image, CommandResult *result, bool needWhole)
{
    QString error;
    std::optional<QTemporaryFile> copy;  // of standard input, which the reader takes only as a file
    if (path == QLatin1String("-")) {
        QFile in;
        copy.emplace();
        if (!in.open(stdin, QIODevice::ReadOnly) || !copy->open() || copy->write(in.readAll()) < 0
            || !copy->flush()) {
            result->err += errorLine(QStringLiteral("standard input: cannot be read"));
            result->status = ExitStatus::kTrouble;
            return false;
        }
    }
    if (!loadIcf(copy ? copy->fileName() : path, image, &error)) {
        result->err += errorLine(path + QStringLiteral(": ") + error);
        result->status = ExitStatus::kTrouble;
        return false;
    }
    if (needWhole && image->verdict == IcfImage::Verdict::Damaged && !image->readable()) {
        result->err += errorLine(path + QStringLiteral(": ") + image->verdictText());
        result->status = ExitStatus::kTrouble;
        return false;
    }
    return true;
}

QString sizesOf(const IcfImage &image)
{
    std::map<int, bool> sizes;
    for (const IcfRecord &r : image.records)
        sizes[int(r.bytes.size())] = true;
    QStringList text;
    for (const auto &entry : sizes)
        text << QString::number(entry.first);
    return text.join(QStringLiteral(", "));
}

qint64 dataBytes(const IcfImage &image)
{
    qint64 n = 0;
    for (const IcfRecord &r : image.records)
        n += r.bytes.size();
    return n;
}

// True when import, given the first address and this record size, writes these very records.
bool importGivesBack(const IcfImage &image, int recordSize)
{
    int next = image.records.isEmpty() ? 0 : image.records.first().address;
    for (qsizetype i = 0; i < image.records.size(); ++i) {
        const IcfRecord &r = image.records.at(i);
        const bool last = i + 1 == image.records.size();
        if (r.address != next || r.bytes.isEmpty() || r.bytes.size() > recordSize
            || (!last && r.bytes.size() != recordSize))
            return false;
        next += int(r.bytes.size());
    }
    return true;
}

class CapturingSeam final : public UserSeam {
public:
    CapturingSeam() : m_previous(&userSeam()) { setUserSeam(this); }
    ~CapturingSeam() override { setUserSeam(m_previous); }
    void showMessage(const QString &, const QString &text) override { reports << text; }
    bool askOkCancel(const QString &, const QString &text, bool) override
    {
        reports << text;
        return true;
    }
    QString openFileName(const FileDialogRequest &) override { return {}; }
    QString saveFileName(const FileDialogRequest &) override { return {}; }
    QStringList reports;

private:
    UserSeam *m_previous;
};

// The bytes as the file of that name, or nothing: written beside it, synced, then renamed over
// it. Every write, the sync and the rename are checked; on failure the temporary file goes,
// an earlier file of the name stays, and reason holds the system's word for it.
bool saveAtomically(const QString &path, const QByteArray &bytes, QString *reason,
                    const std::function<bool()> &beforeCommit = {})
{
    AtomicSave out(path);
    if (!out.open() || !out.write(bytes)) {
        *reason = out.errorString();
        return false;
    }
    if (beforeCommit && !beforeCommit())
        return false;
    if (!out.commit()) {
        *reason = out.errorString();
        return false;
    }
    return true;
}

bool parseNumber(const QString &text, int least, int most, int *value)
{
    bool ok = false;
    const QString t = text.trimmed();
    const int v = t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? t.mid(2).toInt(&ok, 16)
                                                                         : t.toInt(&ok, 10);
    if (!ok || v < least || v > most || t.contains(QLatin1Char('+'))
        || t.contains(QLatin1Char('-')))
        return false;
    *value = v;
    return true;
}

}  // namespace

QString unfitOutput(const QString &path)
{
    // A save replaces the name with a new file: over a device (/dev/null) or a pipe that would
    // put a plain file in its place.
    const NameStatus status = statusOf(path);
    if (status.isDir)
        return QStringLiteral("Is a directory");
    if (status.exists && !status.isFile)
        return QStringLiteral("not a regular file; only files are replaced");
    return {};
}

bool sameFile(const QString &a, const QString &b)
{
    struct stat first {};
    struct stat second {};
    return ::stat(systemName(a).constData(), &first) == 0
           && ::stat(systemName(b).constData(), &second) == 0 && first.st_dev == second.st_dev
           && first.st_ino == second.st_ino;
}

QString sameFileClash(const QString &input, const QString &output, const QString &inputRole,
                      const QString &outputRole)
{
    if (!sameFile(input, output))
        return {};
    return output + QStringLiteral(": is both the %1 and the %2").arg(outputRole, inputRole)
           + (input == output ? QString() : QStringLiteral(" (%1)").arg(input));
}

bool writeAll(FILE *to, const QByteArray &bytes, QString *reason)
{
    errno = 0;
    const bool written =
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to) == size_t(bytes.size());
    if (std::fflush(to) == 0 && written && !std::ferror(to))
        return true;
    *reason = QString::fromLocal8Bit(std::strerror(errno != 0 ? errno : EIO));
    return false;
}

QByteArray errorLine(const QString &text)
{
    return line(QStringLiteral("replix-cli: ") + text);
}

CommandResult infoCommand(const QStringList &files, bool json)
{
    CommandResult result;
    bool first = true;
    QJsonArray list;
    for (const QString &path : files) {
        IcfImage image;
        if (!loadFor(path, &image, &result, false))
            continue;
        if (json) {
            QJsonObject o{{"file", path},
                          {"model", escapedComment(image.model)},
                          {"comment", escapedComment(image.comment)},
                          {"verdict", image.verdictText()}};
            if (image.readable()) {
                const auto [lowest, highest] = MemoryMap::spanOf(image);
                QJsonArray sizes;
                for (const QString &size : sizesOf(image).split(QStringLiteral(", ")))
                    sizes.append(size.toInt());
                o.insert("records", int(image.records.size()));
                o.insert("record_sizes", sizes);
                o.insert("lowest", lowest);
                o.insert("highest", highest);
                o.insert("data_bytes", dataBytes(image));
            }
            list.append(o);
            continue;
        }
        if (!first)
            result.out += '\n';
        first = false;
        result.out += line(QStringLiteral("file: ") + path);
        result.out += line(QStringLiteral("model: ") + shownHeader(image.model));
        result.out += line(QStringLiteral("comment: ") + shownHeader(image.comment));
        if (image.readable()) {
            const auto [lowest, highest] = MemoryMap::spanOf(image);
            result.out += line(QStringLiteral("records: %1").arg(image.records.size()));
            result.out += line(QStringLiteral("record size: ") + sizesOf(image));
            result.out += line(
                lowest < 0
                    ? QStringLiteral("addresses: none (no record holds a byte)")
                    : QStringLiteral("addresses: %1-%2").arg(address(lowest), address(highest)));
            result.out += line(QStringLiteral("data bytes: %1").arg(dataBytes(image)));
        }
        result.out += line(QStringLiteral("verdict: ") + image.verdictText());
    }
    if (json)
        result.out = QJsonDocument(list).toJson(QJsonDocument::Compact) + '\n';
    return result;
}

CommandResult checkCommand(const QStringList &files, bool json)
{
    CommandResult result;
    bool allWhole = true;
    QJsonArray list;
    for (const QString &path : files) {
        IcfImage image;
        if (!loadFor(path, &image, &result, false))
            continue;
        allWhole = allWhole && image.whole();
        result.out += line(path + QStringLiteral(": ") + image.verdictText());
        list.append(QJsonObject{
            {"file", path}, {"whole", image.whole()}, {"verdict", image.verdictText()}});
    }
    if (json)
        result.out = QJsonDocument(list).toJson(QJsonDocument::Compact) + '\n';
    if (result.status == ExitStatus::kOk && !allWhole)
        result.status = ExitStatus::kFailed;
    return result;
}

QByteArray diffImages(const IcfImage &a, const QString &nameA, const IcfImage &b,
                      const QString &nameB, bool *differ, bool json, const QString &sideA,
                      const QString &sideB)
{
    QByteArray out;
    QStringList summary;
    const QString a_ = u'_' + sideA, b_ = u'_' + sideB;
    QJsonObject o{{"model" + a_, escapedComment(a.model)},
                  {"model" + b_, escapedComment(b.model)},
                  {"comment" + a_, escapedComment(a.comment)},
                  {"comment" + b_, escapedComment(b.comment)}};
    if (a.model != b.model) {
        out += line(
            QStringLiteral("model: %1 | %2").arg(escapedComment(a.model), escapedComment(b.model)));
        summary << QStringLiteral("model");
    }
    if (a.comment != b.comment) {
        out += line(QStringLiteral("comment: %1 | %2")
                        .arg(escapedComment(a.comment), escapedComment(b.comment)));
        summary << QStringLiteral("comment");
    }
    const MemoryMap mapA = MemoryMap::of(a);
    const MemoryMap mapB = MemoryMap::of(b);
    enum Kind { Same, Differ, OnlyA, OnlyB };
    auto kindAt = [&](int at) {
        const bool inA = mapA.has(at), inB = mapB.has(at);
        if (inA && inB)
            return mapA.at(at) == mapB.at(at) ? Same : Differ;
        return inA ? OnlyA : inB ? OnlyB : Same;
    };
    qint64 totals[4] = {};
    int ranges = 0;
    QJsonArray list;
    // Where neither image holds a byte they agree: only the span of their bytes is walked.
    int from = kAddressSpace, to = 0;
    for (const MemoryMap *map : {&mapA, &mapB}) {
        if (map->lowest >= 0)
            from = std::min(from, map->lowest), to = std::max(to, map->highest + 1);
    }
    for (int at = from; at < to;) {
        const Kind kind = kindAt(at);
        int end = at + 1;
        while (end < to && kindAt(end) == kind)
            ++end;
        if (kind != Same) {
            const int n = end - at;
            totals[kind] += n;
            if (kind == Differ)
                ++ranges;
            const QByteArray old = mapA.range(at, n), now = mapB.range(at, n);
            const QString where = n == 1 ? address(at) : address(at) + u'-' + address(end - 1);
            QString what;
            if (kind != Differ) {
                what = plural(n, "byte", "bytes") + QStringLiteral(" only in ")
                       + (kind == OnlyA ? nameA : nameB);
            } else {
                what = hexOf(old.left(kValuesShown)) + QStringLiteral(" -> ")
                       + hexOf(now.left(kValuesShown));
                if (n > 1)
                    what.prepend(QStringLiteral("%1 bytes differ: ").arg(n));
                if (n > kValuesShown)
                    what += QStringLiteral(" (%1 more)").arg(n - kValuesShown);
            }
            out += line(where + QStringLiteral(": ") + what);
            QJsonObject r{{"first", at},
                          {"last", end - 1},
                          {"kind", kind == Differ  ? QStringLiteral("differ")
                                   : kind == OnlyA ? QStringLiteral("only") + a_
                                                   : QStringLiteral("only") + b_}};
            if (kind != OnlyB)
                r.insert("old", hexOf(old));
            if (kind != OnlyA)
                r.insert("new", hexOf(now));
            list.append(r);
        }
        at = end;
    }
    if (totals[Differ])
        summary << plural(totals[Differ], "byte differs", "bytes differ") + QStringLiteral(" in ")
                       + plural(ranges, "range", "ranges");
    if (totals[OnlyA])
        summary << plural(totals[OnlyA], "byte", "bytes") + QStringLiteral(" only in ") + nameA;
    if (totals[OnlyB])
        summary << plural(totals[OnlyB], "byte", "bytes") + QStringLiteral(" only in ") + nameB;
    *differ = !summary.isEmpty();
    if (json) {
        o.insert("identical", !*differ);
        o.insert("ranges", list);
        o.insert("bytes_differ", totals[Differ]);
        o.insert("ranges_differ", ranges);
        o.insert("bytes_only" + a_, totals[OnlyA]);
        o.insert("bytes_only" + b_, totals[OnlyB]);
        return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    }
    if (*differ)
        out += line(QStringLiteral("summary: different: ") + summary.join(QStringLiteral(", ")));
    else
        out += line(QStringLiteral("summary: identical: ") + plural(dataBytes(a), "byte", "bytes"));
    return out;
}

CommandResult diffCommand(const QString &fileA, const QString &fileB, bool json)
{
    CommandResult result;
    IcfImage a, b;
    const bool loadedA = loadFor(fileA, &a, &result, true);
    if (!loadFor(fileB, &b, &result, true) || !loadedA)
        return result;
    bool differ = false;
    result.out = diffImages(a, fileA, b, fileB, &differ, json);
    result.status = differ ? ExitStatus::kFailed : ExitStatus::kOk;
    return result;
}

CommandResult dumpCommand(const QString &file)
{
    CommandResult result;
    IcfImage image;
    if (!loadFor(file, &image, &result, true))
        return result;
    // The header first, so that a change of model or comment shows in a diff of two dumps.
    result.out += line(QStringLiteral("model: ") + escapedComment(image.model));
    result.out += line(QStringLiteral("comment: ") + escapedComment(image.comment));
    const MemoryMap map = MemoryMap::of(image);
    if (map.lowest < 0)
        return result;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    bool skipping = false;
    for (int row = map.lowest / kDumpWidth * kDumpWidth; row <= map.highest; row += kDumpWidth) {
        bool any = false;
        for (int i = 0; i < kDumpWidth && row + i < kAddressSpace; ++i)
            any = any || map.has(row + i);
        if (!any) {
            if (!skipping)  // one line for a run of skipped rows, as other hex dumps have it
                result.out += "*\n";
            skipping = true;
            continue;
        }
        skipping = false;
        QByteArray hex = QByteArray::number(row, 16).toUpper().rightJustified(4, '0') + ' ';
        QByteArray text;
        for (int i = 0; i < kDumpWidth; ++i) {
            hex += i == kDumpWidth / 2 ? "  " : " ";
            const int at = row + i;
            if (at >= kAddressSpace || !map.has(at)) {
                hex += "--";
                text += ' ';
                continue;
            }
            const auto b = static_cast<unsigned char>(map.at(at));
            hex += kDigits[b >> 4];
            hex += kDigits[b & 0x0F];
            text += (b >= 0x20 && b < 0x7F) ? char(b) : '.';
        }
        result.out += hex + "  |" + text + "|\n";
    }
    return result;
}

CommandResult exportCommand(const QString &file, const QString &outBin, const QString &fillHex,
                            FILE *valuesTo)
{
    CommandResult result;
    static const QRegularExpression twoDigits(QStringLiteral("^[0-9A-Fa-f]{2}$"));
    if (!twoDigits.match(fillHex).hasMatch()) {
        result.err = errorLine(QStringLiteral("--fill: \"%1\" is not two hex digits").arg(fillHex));
        result.status = ExitStatus::kTrouble;
        return result;
    }
    const bool toStdout = outBin == QLatin1String("-");
    if (const QString clash = toStdout
                                  ? QString()
                                  : sameFileClash(file, outBin, QStringLiteral("file to export"),
                                                  QStringLiteral("raw file to write"));
        !clash.isEmpty()) {
        result.err = errorLine(clash);
        result.status = ExitStatus::kTrouble;
        return result;
    }
    if (const QString unfit = unfitOutput(outBin); !unfit.isEmpty() && !toStdout) {
        result.err = errorLine(outBin + QStringLiteral(": ") + unfit);
        result.status = ExitStatus::kTrouble;
        return result;
    }
    IcfImage image;
    if (!loadFor(file, &image, &result, true))
        return result;
    if (!image.readable()) {
        result.err = errorLine(file + QStringLiteral(": ") + image.verdictText());
        result.status = ExitStatus::kTrouble;
        return result;
    }
    const MemoryMap map = MemoryMap::of(image);
    if (map.lowest < 0) {
        result.err =
            errorLine(file + QStringLiteral(": no data bytes to export (its records hold none)"));
        result.status = ExitStatus::kTrouble;
        return result;
    }
    const char fill = char(fillHex.toInt(nullptr, 16));
    QByteArray raw = map.bytes;
    for (int i = 0; i < raw.size(); ++i)
        if (!map.has(map.lowest + i))
            raw[i] = fill;
    const int recordSize = int(image.records.first().bytes.size());
    result.out += line(QStringLiteral("model: ") + escapedComment(image.model));
    result.out += line(QStringLiteral("comment: ") + escapedComment(image.comment));
    result.out += line(QStringLiteral("start: ") + address(map.lowest));
    result.out += line(QStringLiteral("record size: %1").arg(recordSize));
    result.out += line(QStringLiteral("bytes: %1").arg(raw.size()));
    if (toStdout) {  // the bytes are the output; the values go beside them
        result.err = result.out;
        result.out = raw;
    }
    // The values go out before the raw file is put in place: if they cannot, there is none.
    QString outFailed;
    const auto sayValues = [&] {
        if (valuesTo && !writeAll(valuesTo, std::exchange(result.out, {}), &outFailed))
            return false;
        return true;
    };
    if (QString reason; !toStdout && !saveAtomically(outBin, raw, &reason, sayValues)) {
        result.out.clear();
        result.err =
            errorLine(outFailed.isEmpty() ? outBin + QStringLiteral(": ") + reason
                                          : QStringLiteral("standard output: ") + outFailed);
        result.status = ExitStatus::kTrouble;
        return result;
    }
    if (!importGivesBack(image, recordSize))
        result.err += errorLine(file
                                + QStringLiteral(": its records are not one run of equal size "
                                                 "from the lowest address; import will not give "
                                                 "back the same file"));
    return result;
}

CommandResult importCommand(const QString &inBin, const ImportOptions &options,
                            const QString &outIcf)
{
    CommandResult result;
    auto refuse = [&result](const QString &text) {
        result.err = errorLine(text);
        result.status = ExitStatus::kTrouble;
        return result;
    };
    static const QRegularExpression eightDigits(QStringLiteral("^[0-9A-Fa-f]{8}$"));
    if (!eightDigits.match(options.model).hasMatch())
        return refuse(QStringLiteral("--model: \"%1\" is not 8 hex digits").arg(options.model));
    QByteArray comment;
    if (!unescapeComment(options.comment, &comment))
        return refuse(QStringLiteral("--comment: \"%1\" has a bad escape or a character beyond "
                                     "Latin-1; write a byte as \\xNN")
                          .arg(options.comment));
    if (comment.size() > kMaxComment)
        return refuse(QStringLiteral("--comment: %1 bytes, longer than 16").arg(comment.size()));
    if (comment.contains('\r') || comment.contains('\n'))
        return refuse(QStringLiteral("--comment: a comment cannot hold a CR (\\x0D) or an LF "
                                     "(\\x0A): it would end the line"));
    int recordSize = 0;
    if (!parseNumber(options.recordSize, 1, 255, &recordSize))
        return refuse(QStringLiteral("--record-size: \"%1\" is not a number from 1 to 255")
                          .arg(options.recordSize));
    int start = 0;
    if (!parseNumber(options.start, 0, kHighestAddress, &start))
        return refuse(QStringLiteral("--start: \"%1\" is not an address from 0 to 0xFFFF")
                          .arg(options.start));
    if (const QString clash = sameFileClash(inBin, outIcf, QStringLiteral("raw input"),
                                            QStringLiteral("file to write"));
        !clash.isEmpty())
        return refuse(clash);
    if (const QString unfit = unfitOutput(outIcf); !unfit.isEmpty())
        return refuse(outIcf + QStringLiteral(": ") + unfit);
    if (statusOf(inBin).isDir)
        return refuse(inBin + QStringLiteral(": Is a directory"));
    QFile in;
    if (QString reason; inBin == QLatin1String("-") ? !in.open(stdin, QIODevice::ReadOnly)
                                                    : !openForRead(in, inBin, &reason))
        return refuse(inBin + QStringLiteral(": ")
                      + (reason.isEmpty() ? in.errorString() : reason));
    const QByteArray raw = in.read(kHighestAddress + 2);
    if (raw.isEmpty())
        return refuse(inBin + QStringLiteral(": empty, no bytes to import"));
    if (start + raw.size() > kHighestAddress + 1)
        return refuse(inBin
                      + QStringLiteral(": %1 bytes from %2 run past address 0xFFFF")
                            .arg(in.isSequential() ? raw.size() : in.size())
                            .arg(address(start)));

    CapturingSeam reports;
    clsICOMFiles files;
    bool written = files.OpenICFFileForWrite(outIcf)
                   && files.WriteALineToDisk(options.model.toUpper().toLatin1())
                   && files.WriteALineToDisk('#' + comment);
    QByteArray record;  // address, count and data; its memory serves every record
    for (int at = 0; written && at < raw.size(); at += recordSize) {
        const QByteArrayView data =
            QByteArrayView(raw).sliced(at, qMin<qsizetype>(recordSize, raw.size() - at));
        const int where = start + at;
        record.resize(0);
        record.append(char(where >> 8)).append(char(where & 0xFF)).append(char(data.size()));
        written = files.WriteICFDataToDisk(BytesToHex(record.append(data), false));
    }
    written = written && files.CommitOutputFile();
    files.CloseCurrentFile();
    if (!written)
        return refuse(outIcf + QStringLiteral(": ")
                      + (!files.outputError().isEmpty() ? files.outputError()
                         : reports.reports.isEmpty()    ? QStringLiteral("cannot be written")
                                                     : reports.reports.join(QStringLiteral("; "))));
    return result;
}
