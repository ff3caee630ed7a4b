// The ICF reader: arbitrary file bytes through open, the whole-file check and the line reader.
// Its answers are held against a plain model of the file's lines (they end at CR LF, a lone CR
// or a lone LF; a last line without its end still counts) and against each other.

#include "fuzz/fuzzcheck.h"
#include "image/clsicomfiles.h"
#include "image/icfformat.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {
constexpr const char *kTarget = "ICF reader";
// The reader keeps at most this much of one line.
constexpr qsizetype kMaxKeptLine = 64 * 1024;

QList<QByteArray> modelLines(QByteArrayView bytes)
{
    QList<QByteArray> lines =
        bytes.toByteArray().replace("\r\n", "\n").replace('\r', '\n').split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();  // the end of the last line, or an empty file
    for (QByteArray &line : lines)
        line.truncate(kMaxKeptLine);
    return lines;
}

// The model line is taken without an editor's byte-order mark and without spaces around it.
QByteArray bareModel(QByteArray line)
{
    if (line.startsWith("\xEF\xBB\xBF"))
        line.remove(0, 3);
    while (line.startsWith(' '))
        line.remove(0, 1);
    while (line.endsWith(' '))
        line.chop(1);
    return line;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QString path = fuzzcheck::scratch() + QStringLiteral("/image.icf");
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    EXPECT(fuzzcheck::putFile(path, bytes), "harness: cannot write the file");
    const QList<QByteArray> lines = modelLines(bytes);
    clsICOMFiles files;
    EXPECT(files.CheckICFData().outcome == clsICOMFiles::DataCheck::NoData,
           "the check found data with no file open");
    const bool opened = files.OpenICFFileForRead(path);
    EXPECT(
        opened == (lines.size() >= 2)
            && (!opened
                || (files.RadioModel() == bareModel(lines[0]) && files.CommentLine() == lines[1])),
        "open disagrees with the number of lines, or model or comment line differs");
    if (!opened)
        return 0;  // files closes itself
    // Empty lines after the last record end the data; they are not records.
    qsizetype end = lines.size();
    while (end > 2 && lines[end - 1].isEmpty())
        --end;
    const qsizetype dataLines = end - 2;
    using enum clsICOMFiles::DataCheck::Outcome;
    const clsICOMFiles::DataCheck check = files.CheckICFData(), again = files.CheckICFData();
    EXPECT(check.outcome == again.outcome && check.line == again.line,
           "a second whole-file check gives another answer");
    // The model's verdicts (lines counted from 0): the first line that does not decode, where
    // the reader stops, and the first bad line, which may also be one whose bytes fall on an
    // address an earlier line gave or past 0xFFFF.
    qsizetype undecodable = 2;
    for (QByteArray line; undecodable < end && DecodeICFLine(line = lines[undecodable]);)
        ++undecodable;
    qsizetype bad = 2;
    std::vector<std::pair<int, int>> given;  // the first and last address of each line's bytes
    for (QByteArray line; bad < undecodable; ++bad) {
        DecodeICFLine(line = lines[bad]);
        const int first = line.left(4).toInt(nullptr, 16);
        const int last = first + int(line.size() - 6) / 2 - 1;  // first - 1: a line of no bytes
        // A line of no bytes gives no address, so it can clash with none.
        if (last > 0xFFFF
            || (last >= first && std::any_of(given.begin(), given.end(), [&](const auto &g) {
                    return first <= g.second && g.first <= last;
                })))
            break;
        if (last >= first)
            given.emplace_back(first, last);
    }
    // A radio sends its image as one ascending run: where every line is good, the first record
    // with bytes that does not start where the last one ended is the bad line.
    for (int next = -1, i = 2; bad == end && i < end; ++i) {
        QByteArray line = lines[i];
        DecodeICFLine(line);
        const int first = line.left(4).toInt(nullptr, 16);
        const int count = int(line.size() - 6) / 2;
        if (count > 0 && next >= 0 && first != next)
            bad = i;
        else if (count > 0)
            next = first + count;
    }
    // The reader after the check stands at the first data line.
    qsizetype read = 0;
    QByteArray line;
    for (QByteArray expected; files.GetNextICFLineFromDisk(line);) {
        expected = lines[std::min(++read, dataLines) + 1];
        EXPECT(read <= dataLines && DecodeICFLine(expected) && expected == line,
               "more lines read than the file holds, or a line read differs from the file's");
    }
    EXPECT(line.isEmpty(), "a failed read gave a line");
    EXPECT(check.outcome != Sound || (bad == end && dataLines > 0 && read == dataLines),
           "sound check of a file with a bad or no data line, or reading stopped before its end");
    EXPECT(check.outcome != Damaged
               || (bad < end && check.line == bad + 1 && read == undecodable - 2),
           "damaged at a line other than the first bad one, or reading went on to it");
    EXPECT(check.outcome != NoData || (dataLines == 0 && read == 0),
           "no data reported for a file with data lines, or a line was read");
    // Once at the end, the reader stays there.
    EXPECT(check.outcome == Damaged || !files.GetNextICFLineFromDisk(line),
           "the reader read again after the end");
    return 0;
}
