#include "image/clsicomfiles.h"

#include "app/misc.h"
#include "image/icfformat.h"
#include "image/systemname.h"
#include "link/hextext.h"
#include "link/userseam.h"

#include <QFile>

#include <algorithm>
#include <climits>
#include <iterator>
#include <map>

namespace {

// Reading goes through a buffer of at most this size, so a file of any size costs the same
// memory; a small file gets a buffer of its own size (but no less than kSmallestChunk).
constexpr qsizetype kReadChunk = qsizetype(64) * 1024;
constexpr qsizetype kSmallestChunk = 4096;
// No valid line is longer than 516 bytes; a longer one is kept cut to this length (it is
// invalid either way) so that a hostile file cannot make one line fill the memory.
constexpr qsizetype kMaxKeptLine = qsizetype(64) * 1024;
// The longest line WriteALineToDisk writes, without its CR LF.
constexpr qsizetype kMaxWrittenLine = 32765;
// Stored data lines start at the file's third line.
constexpr int kFirstDataLine = 3;
// Addresses 0x0000 to 0xFFFF; address and count digits at the head of a data line.
constexpr int kAddressCount = 0x10000;
constexpr qsizetype kRecordHeaderDigits = 6;

// Addresses first to end - 1, given by one line.
struct OwnedRange {
    int end;
    int line;
};

// The line that gave the lowest of addresses first to first + count - 1 that a line gave
// already, or 0 when none did. The ranges never overlap one another.
int overlappedLine(const std::map<int, OwnedRange> &owned, int first, int count)
{
    if (count <= 0)
        return 0;
    auto after = owned.upper_bound(first);  // the first range starting past first
    if (after != owned.begin()) {
        const auto before = std::prev(after);
        if (before->second.end > first)
            return before->second.line;
    }
    if (after != owned.end() && after->first < first + count)
        return after->second.line;
    return 0;
}

QString trimSpaces(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ')
        ++begin;
    while (end > begin && text[end - 1] == u' ')
        --end;
    return text.sliced(begin, end - begin);
}

// The model line as the file's one reader takes it: without the byte-order mark an editor may
// put before it and without spaces around it, so that every command sees the same model.
QByteArray bareModelLine(const QByteArray &line)
{
    static constexpr QByteArrayView kByteOrderMark = "\xEF\xBB\xBF";
    const QByteArrayView text = QByteArrayView(line).startsWith(kByteOrderMark)
                                    ? QByteArrayView(line).sliced(kByteOrderMark.size())
                                    : QByteArrayView(line);
    return ::trimSpaces(text).toByteArray();
}

QString addressText(int a)
{
    return QStringLiteral("0x") + QString::number(a, 16).toUpper().rightJustified(4, u'0');
}

// Follows the records of a file as one ascending run and keeps where it first breaks.
struct RunCheck {
    int next = -1;      // the address the next record should start at; -1 before the first
    int lastLine = 0;   // of the last record with bytes
    int breakLine = 0;  // of the first record that does not follow on; 0 when all do
    QString why;        // ": addresses 0x0080-0x009F missing between line 7 and line 8"

    void take(int first, int count, int line)
    {
        if (count == 0)
            return;
        if (next >= 0 && first != next && breakLine == 0) {
            breakLine = line;
            why = first > next ? QStringLiteral(": addresses %1-%2 missing between line %3 and "
                                                "line %4")
                                     .arg(addressText(next), addressText(first - 1))
                                     .arg(lastLine)
                                     .arg(line)
                               : QStringLiteral(": addresses %1-%2 go back before those of line %3")
                                     .arg(addressText(first), addressText(first + count - 1))
                                     .arg(lastLine);
        }
        next = first + count;
        lastLine = line;
    }
};

}  // namespace

// The input file, read through our own buffer: a line ends at CR LF, a lone CR or a lone LF
// (a file whose line ends were converted), and a line may be far longer than the buffer.
struct clsICOMFiles::Input {
    QFile file;
    QByteArray buffer;
    qsizetype pos = 0;             // next unread byte of buffer
    qint64 bufferStart = 0;        // file offset of buffer[0]
    qsizetype chunk = kReadChunk;  // read at a time: less for a small file
    bool failed = false;           // a read or seek failed: the file reads as ended
    bool headerRead = false;
    qint64 dataStart = 0;    // file offset of the first data line
    int lineNumber = 0;      // of the last line read, from 1
    int lastRecordLine = 0;  // where the whole-file check saw the last record; 0: unchecked
    int records = 0;         // the records the whole-file check counted
    int damagedLine = 0;     // see clsICOMFiles::damagedLine

    qint64 offset() const { return bufferStart + pos; }

    // True when at least one unread byte is in the buffer.
    bool fill()
    {
        if (pos < buffer.size())
            return true;
        if (failed)
            return false;
        bufferStart += buffer.size();
        buffer.resize(chunk);
        pos = 0;
        const qint64 got = file.read(buffer.data(), chunk);
        if (got < 0) {
            failed = true;
            buffer.clear();
            return false;
        }
        buffer.resize(got);
        return got > 0;
    }

    bool readLine(QByteArray &line)
    {
        line.resize(0);  // keeps its memory for the next line, which is mostly as long
        if (!fill())
            return false;
        for (;;) {
            const char *begin = buffer.constData() + pos;
            const qsizetype available = buffer.size() - pos;
            const char *end = std::find_if(begin, begin + available,
                                           [](char c) { return c == '\r' || c == '\n'; });
            const qsizetype take = end - begin;
            line.append(begin, qMin(take, kMaxKeptLine - line.size()));
            pos += take;
            if (take < available) {
                ++pos;
                if (*end == '\r' && fill() && buffer[pos] == '\n')
                    ++pos;
                break;
            }
            if (!fill())
                break;  // the last line of a file that does not end with a line end
        }
        if (failed) {
            line.clear();
            return false;
        }
        ++lineNumber;
        return true;
    }

    bool rewindToData()
    {
        buffer.resize(0);  // keeps its memory: the next fill reads into it
        pos = 0;
        bufferStart = dataStart;
        lineNumber = kFirstDataLine - 1;
        failed = !file.seek(dataStart);
        return !failed;
    }
};

// The output is written to a temporary file beside the chosen name and renamed over it only
// on commit, so an unfinished read never replaces an earlier image.
struct clsICOMFiles::Output {
    explicit Output(const QString &name) : file(name) {}
    AtomicSave file;
    bool failed = false;  // a line write failed: the image is incomplete and never committed
    QByteArray line;      // the line being written with its CR LF; its memory serves the next
};

clsICOMFiles::clsICOMFiles() = default;

clsICOMFiles::~clsICOMFiles()
{
    CloseCurrentFile();
}

bool clsICOMFiles::OpenICFFileForRead(const QString &sFromFilename)
{
    m_inputError.clear();
    if (m_input)
        return false;
    auto input = std::make_unique<Input>();
    const QString name = trimSpaces(sFromFilename);
    // A pipe or a device (/dev/zero) is no image file, could be endless and cannot be read
    // a second time for the whole-file check; opening a pipe would wait for a writer.
    const NameStatus status = statusOf(name);
    if (status.exists && !status.isFile) {
        m_inputError =
            status.isDir ? QStringLiteral("Is a directory") : QStringLiteral("not a regular file");
        return false;
    }
    if (!openForRead(input->file, name, &m_inputError))
        return false;
    if (input->file.isSequential()) {
        m_inputError = QStringLiteral("not a regular file");
        return false;
    }
    // A small file is read whole in one go (a file that grows meanwhile in more reads).
    input->chunk =
        qsizetype(std::clamp<qint64>(input->file.size() + 1, kSmallestChunk, kReadChunk));
    m_input = std::move(input);
    if (!GetNextLineFromDisk(m_sModelLine) || !GetNextLineFromDisk(m_sCommentLine)) {
        // A read the system refused (a failing disk, a pulled stick) is no short file: it is
        // told as the file that cannot be read, with the system's reason.
        if (m_input->failed) {
            m_inputError = m_input->file.errorString();
            m_input.reset();
            return false;
        }
        m_input->damagedLine = m_input->lineNumber + 1;  // the first header line not taken in
        return false;
    }
    m_sModelLine = bareModelLine(m_sModelLine);
    m_input->dataStart = m_input->offset();
    m_input->headerRead = true;
    return true;
}

bool clsICOMFiles::GetNextLineFromDisk(QByteArray &sOutputLine)
{
    if (!m_input) {
        sOutputLine.clear();
        return false;
    }
    return m_input->readLine(sOutputLine);
}

bool clsICOMFiles::GetNextICFLineFromDisk(QByteArray &sOutputLine)
{
    const bool read = GetNextLineFromDisk(sOutputLine);
    if (read && DecodeICFLine(sOutputLine))
        return true;
    if (m_input) {
        const int line = m_input->lineNumber + (read ? 0 : 1);
        const bool end =
            !m_input->failed && (!read || sOutputLine.isEmpty()) && line > m_input->lastRecordLine;
        m_input->damagedLine = end ? 0 : line;
    }
    sOutputLine.clear();
    return false;
}

int clsICOMFiles::damagedLine() const
{
    return m_input ? m_input->damagedLine : 0;
}

int clsICOMFiles::checkedRecords() const
{
    return m_input ? m_input->records : 0;
}

clsICOMFiles::DataCheck clsICOMFiles::CheckICFData()
{
    DataCheck check;
    check.outcome = DataCheck::NoData;
    if (!m_input || !m_input->headerRead)
        return check;

    auto damaged = [&check](int line, const QString &why) {
        check.outcome = DataCheck::Damaged;
        check.line = line;
        check.reason = QStringLiteral("line %1").arg(line) + why;
    };
    auto address = [](int a) {
        return QStringLiteral("0x") + QString::number(a, 16).toUpper().rightJustified(4, u'0');
    };

    m_input->records = 0;
    if (m_input->rewindToData()) {
        int lineNumber = kFirstDataLine;
        int firstEmpty = 0;  // of the empty lines since the last record
        int lastRecord = 0;
        RunCheck run;
        // The ranges of addresses the lines gave, by their first address, with the line that
        // gave each: a radio holds one byte an address, so an image that gives one twice, or
        // one past 0xFFFF, is none a radio ever sent. Records are few; ranges are cheap.
        std::map<int, OwnedRange> owned;
        QByteArray line;
        while (m_input->readLine(line)) {
            if (lineNumber == INT_MAX) {
                damaged(lineNumber, QStringLiteral(": too many lines"));
                break;
            }
            if (line.isEmpty()) {
                if (firstEmpty == 0)
                    firstEmpty = lineNumber;
                ++lineNumber;
                continue;
            }
            // Anything the tool never writes counts: the writer would otherwise stop there as
            // if the file had ended.
            if (firstEmpty != 0) {
                damaged(firstEmpty, lastRecord == 0
                                        ? QStringLiteral(": empty line before the records")
                                        : QStringLiteral(": empty line between records"));
                break;
            }
            if (!DecodeICFLine(line)) {  // which leaves the line as it was
                damaged(lineNumber, StoredLineFault(line));
                break;
            }
            const int first = RecordAddress(line);
            const int count = int(line.size() - kRecordHeaderDigits) / 2;
            const auto range = [&] {
                return address(first) + u'-' + address(first + qMax(count, 1) - 1);
            };
            if (first + count > kAddressCount) {
                damaged(lineNumber, QStringLiteral(": addresses %1 run past 0xFFFF").arg(range()));
                break;
            }
            if (const int clash = overlappedLine(owned, first, count)) {
                damaged(lineNumber,
                        QStringLiteral(": addresses %1 overlap line %2").arg(range()).arg(clash));
                break;
            }
            if (count > 0)
                owned.emplace(first, OwnedRange{first + count, lineNumber});
            run.take(first, count, lineNumber);
            lastRecord = lineNumber;
            ++m_input->records;
            check.outcome = DataCheck::Sound;
            ++lineNumber;
        }
        if (m_input->failed && check.outcome != DataCheck::Damaged)
            damaged(lineNumber, QStringLiteral(": cannot be read"));
        if (check.outcome != DataCheck::Damaged && run.breakLine != 0) {
            damaged(run.breakLine, run.why);
            check.gapOnly = true;
        }
        m_input->lastRecordLine = lastRecord;
    } else {
        damaged(kFirstDataLine, QStringLiteral(": cannot be read"));
    }
    if (!m_input->rewindToData() && check.outcome != DataCheck::Damaged)
        damaged(kFirstDataLine, QStringLiteral(": cannot be read"));
    return check;
}

bool clsICOMFiles::OpenICFFileForWrite(const QString &sFileName)
{
    m_outputError.clear();
    if (m_output) {
        // The transfers never do this; refuse rather than drop the image being written.
        ReportError(QStringLiteral("OpenFile(") + sFileName
                    + QStringLiteral("):An output file is already open:0"));
        return false;
    }
    // The image replaces whatever has the name: over a device or a pipe (/dev/null, chosen by
    // a slip in the dialog) that would put a plain file where the system expects the device.
    if (const NameStatus existing = statusOf(sFileName); existing.exists && !existing.isFile) {
        ReportError(QStringLiteral("Unable to Open Output File"));
        return false;
    }
    auto output = std::make_unique<Output>(sFileName);
    // Every line is one write to the file, so a failure shows at that line. The save never
    // falls back to writing over the file in place when it cannot create its temporary file
    // (a read-only folder), so that case lands here too.
    if (!output->file.open()) {
        m_outputError = output->file.errorString();
        ReportError(QStringLiteral("Unable to Open Output File"));
        return false;
    }
    m_output = std::move(output);
    return true;
}

bool clsICOMFiles::WriteALineToDisk(const QByteArray &sOutput)
{
    if (!m_output || m_output->failed || sOutput.size() > kMaxWrittenLine)
        return false;
    QByteArray &buffer = m_output->line;
    buffer.resize(0);
    buffer.append(QByteArrayView(sOutput)).append("\r\n", 2);
    if (!m_output->file.write(buffer)) {
        // Whatever happens next, this image can no longer be committed.
        m_outputError = m_output->file.errorString();
        m_output->failed = true;
        m_output->file.cancel();
        return false;
    }
    return true;
}

bool clsICOMFiles::WriteICFDataToDisk(const QByteArray &sOutputLine)
{
    QByteArray line = sOutputLine;
    return EncodeICFLine(line) && WriteALineToDisk(line);
}

bool clsICOMFiles::CommitOutputFile()
{
    if (!m_output)
        return false;
    std::unique_ptr<Output> output = std::move(m_output);
    // Nothing is shown here: the read ends the transfer first and then tells the user. Whatever
    // fails, the temporary file goes and an earlier file of the chosen name stays as it was.
    if (output->failed)
        return false;  // cancelled when the line failed
    if (!output->file.commit()) {
        m_outputError = output->file.errorString();
        return false;
    }
    return true;
}

void clsICOMFiles::CloseCurrentFile()
{
    if (m_input) {
        m_input.reset();
        m_sCommentLine.clear();
        m_sModelLine.clear();
    }
    if (m_output) {
        // Not committed: discard the temporary file; a file of the chosen name stays as it was.
        m_output->file.cancel();
        m_output.reset();
    }
}

bool clsICOMFiles::ValidCheckSum(const QByteArray &sFileRecord) const
{
    return ::ValidCheckSum(sFileRecord);
}

QByteArray clsICOMFiles::CheckChars(const QByteArray &sData) const
{
    return ::CheckChars(sData);
}

bool clsICOMFiles::ValidModel(const QByteArray &sFileModel, const QByteArray &sRadioModel) const
{
    if (sFileModel.size() != 8 || sRadioModel.size() != 8)
        return false;
    if (sFileModel.first(4) != sRadioModel.first(4))
        return false;
    if (sFileModel.sliced(4) == sRadioModel.sliced(4))
        return true;
    return currentSeam().askOkCancel(
        AppTitle(), QStringLiteral("Disk File is for a different version of this radio"), false);
}

bool clsICOMFiles::inputOpen() const
{
    return m_input != nullptr;
}

bool clsICOMFiles::outputOpen() const
{
    return m_output != nullptr;
}
