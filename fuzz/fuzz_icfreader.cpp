// The ICF reader: arbitrary file bytes through open, the whole-file check and the line reader.
// Its answers are held against a plain model of the file's lines (they end at CR LF or a lone
// CR; a last line without its end still counts) and against each other.

#include "fuzz/fuzzcheck.h"
#include "image/clsicomfiles.h"
#include "image/icfformat.h"

#include <QTemporaryDir>

namespace {

constexpr const char *kTarget = "ICF reader";
// The reader keeps at most this much of one line.
constexpr qsizetype kMaxKeptLine = 64 * 1024;

QList<QByteArray> modelLines(QByteArrayView bytes)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    while (start < bytes.size()) {
        const qsizetype found = bytes.sliced(start).indexOf('\r');
        const qsizetype cr = found < 0 ? bytes.size() - start : found;
        lines << bytes.sliced(start, std::min(cr, kMaxKeptLine)).toByteArray();
        start += cr + 1;
        if (start < bytes.size() && bytes[start] == '\n')
            ++start;
    }
    return lines;
}

QTemporaryDir *folder = nullptr;  // kept reachable: libFuzzer checks for leaks
QString *path = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    folder = new QTemporaryDir;
    EXPECT(folder->isValid(), "harness: no temporary folder");
    path = new QString(folder->filePath(QStringLiteral("image.icf")));
    fuzzcheck::keepTidy(folder->path().toStdString());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    EXPECT(fuzzcheck::putFile(*path, bytes), "harness: cannot write the file");
    const QList<QByteArray> lines = modelLines(bytes);

    clsICOMFiles files;
    EXPECT(files.CheckICFData().outcome == clsICOMFiles::DataCheck::NoData,
           "the check found data with no file open");
    const bool opened = files.OpenICFFileForRead(*path);
    EXPECT(opened == (lines.size() >= 2), "open disagrees with the number of lines");
    if (!opened)
        return 0;  // files closes itself
    EXPECT(files.RadioModel() == lines[0] && files.CommentLine() == lines[1],
           "model or comment line differs from the file's first or second line");

    // Empty lines after the last record end the data; they are not records.
    qsizetype end = lines.size();
    while (end > 2 && lines[end - 1].isEmpty())
        --end;
    const qsizetype dataLines = end - 2;
    const clsICOMFiles::DataCheck check = files.CheckICFData();
    const clsICOMFiles::DataCheck again = files.CheckICFData();
    EXPECT(check.outcome == again.outcome && check.line == again.line,
           "a second whole-file check gives another answer");

    // The model's verdict: the first line that does not decode, if any.
    qsizetype firstBad = -1;
    for (qsizetype i = 2; i < end && firstBad < 0; ++i) {
        QByteArray line = lines[i];
        if (!DecodeICFLine(line))
            firstBad = i + 1;  // lines of the file count from 1
    }

    // The reader after the check stands at the first data line.
    qsizetype read = 0;
    QByteArray line;
    while (files.GetNextICFLineFromDisk(line)) {
        ++read;
        EXPECT(read <= dataLines, "more lines read than the file holds");
        QByteArray expected = lines[read + 1];
        EXPECT(DecodeICFLine(expected) && expected == line, "a line read differs from the file's");
    }
    EXPECT(line.isEmpty(), "a failed read gave a line");

    switch (check.outcome) {
    case clsICOMFiles::DataCheck::Sound:
        EXPECT(firstBad < 0 && dataLines > 0, "sound check of a file with a bad or no data line");
        EXPECT(read == dataLines, "sound file, yet reading stopped before its end");
        break;
    case clsICOMFiles::DataCheck::Damaged:
        EXPECT(check.line == firstBad, "damaged at a line other than the first bad one");
        EXPECT(read == check.line - 3, "reading did not stop just before the damaged line");
        break;
    case clsICOMFiles::DataCheck::NoData:
        EXPECT(dataLines == 0, "no data reported for a file with data lines");
        EXPECT(read == 0, "no data reported, yet a line was read");
        break;
    }
    // Once at the end, the reader stays there.
    EXPECT(!files.GetNextICFLineFromDisk(line) || check.outcome == clsICOMFiles::DataCheck::Damaged,
           "the reader read again after the end");
    return 0;
}
