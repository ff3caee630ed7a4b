#include "image/clsicomfiles.h"

#include "app/misc.h"
#include "app/userseam.h"
#include "image/icfformat.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <climits>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Reading goes through a buffer of this size, so a file of any size costs the same memory.
constexpr qsizetype kReadChunk = qsizetype(64) * 1024;
// No valid line is longer than 516 bytes; a longer one is kept cut to this length (it is
// invalid either way) so that a hostile file cannot make one line fill the memory.
constexpr qsizetype kMaxKeptLine = qsizetype(64) * 1024;
// The longest line WriteALineToDisk writes, without its CR LF.
constexpr qsizetype kMaxWrittenLine = 32765;
// Stored data lines start at the file's third line.
constexpr int kFirstDataLine = 3;

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

} // namespace

// The input file, read through our own buffer: lines end at CR LF or a lone CR, and a lone LF
// is an ordinary byte, which no line reader of Qt's does.
struct clsICOMFiles::Input {
    QFile file;
    QByteArray buffer;
    qsizetype pos = 0;          // next unread byte of buffer
    qint64 bufferStart = 0;     // file offset of buffer[0]
    bool failed = false;        // a read or seek failed: the file reads as ended
    bool headerRead = false;
    qint64 dataStart = 0;       // file offset of the first data line
    int lineNumber = 0;         // of the last line read, from 1
    int lastRecordLine = 0;     // where the whole-file check saw the last record; 0: unchecked
    int damagedLine = 0;        // see clsICOMFiles::damagedLine

    qint64 offset() const { return bufferStart + pos; }

    // True when at least one unread byte is in the buffer.
    bool fill()
    {
        if (pos < buffer.size())
            return true;
        if (failed)
            return false;
        bufferStart += buffer.size();
        buffer.resize(kReadChunk);
        pos = 0;
        const qint64 got = file.read(buffer.data(), kReadChunk);
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
        line.clear();
        if (!fill())
            return false;
        for (;;) {
            const char *begin = buffer.constData() + pos;
            const qsizetype available = buffer.size() - pos;
            const auto *cr = static_cast<const char *>(std::memchr(begin, '\r', size_t(available)));
            const qsizetype take = cr ? cr - begin : available;
            line.append(begin, qMin(take, kMaxKeptLine - line.size()));
            pos += take;
            if (cr) {
                ++pos;
                if (fill() && buffer[pos] == '\n')
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
    QSaveFile file;
    bool failed = false;  // a line write failed: the image is incomplete and never committed
};

clsICOMFiles::clsICOMFiles() = default;

clsICOMFiles::~clsICOMFiles() { CloseCurrentFile(); }

bool clsICOMFiles::OpenICFFileForRead(const QString &sFromFilename)
{
    if (m_input)
        return false;
    auto input = std::make_unique<Input>();
    input->file.setFileName(trimSpaces(sFromFilename));
    if (!input->file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    // A pipe or a device (/dev/zero) is no image file, could be endless and cannot be read
    // a second time for the whole-file check.
    if (input->file.isSequential())
        return false;
    m_input = std::move(input);
    if (!GetNextLineFromDisk(m_sModelLine))
        return false;
    if (!GetNextLineFromDisk(m_sCommentLine))
        return false;
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
        const bool end = !m_input->failed && (!read || sOutputLine.isEmpty())
                         && line > m_input->lastRecordLine;
        m_input->damagedLine = end ? 0 : line;
    }
    sOutputLine.clear();
    return false;
}

int clsICOMFiles::damagedLine() const { return m_input ? m_input->damagedLine : 0; }

clsICOMFiles::DataCheck clsICOMFiles::CheckICFData()
{
    DataCheck check;
    check.outcome = DataCheck::NoData;
    if (!m_input || !m_input->headerRead)
        return check;

    auto damaged = [&check](int line) {
        check.outcome = DataCheck::Damaged;
        check.line = line;
    };

    if (m_input->rewindToData()) {
        int lineNumber = kFirstDataLine;
        int firstEmpty = 0;  // of the empty lines since the last record
        int lastRecord = 0;
        QByteArray line;
        while (m_input->readLine(line)) {
            if (lineNumber == INT_MAX) {
                damaged(lineNumber);
                break;
            }
            if (line.isEmpty()) {
                if (firstEmpty == 0)
                    firstEmpty = lineNumber;
            } else if (firstEmpty != 0 || !DecodeICFLine(line)) {
                // Anything the tool never writes counts: the writer would otherwise stop
                // there as if the file had ended.
                damaged(firstEmpty != 0 ? firstEmpty : lineNumber);
                break;
            } else {
                lastRecord = lineNumber;
                check.outcome = DataCheck::Sound;
            }
            ++lineNumber;
        }
        if (m_input->failed && check.outcome != DataCheck::Damaged)
            damaged(lineNumber);
        m_input->lastRecordLine = lastRecord;
    } else {
        damaged(kFirstDataLine);
    }
    if (!m_input->rewindToData() && check.outcome != DataCheck::Damaged)
        damaged(kFirstDataLine);
    return check;
}

bool clsICOMFiles::OpenICFFileForWrite(const QString &sFileName)
{
    if (m_output) {
        // The transfers never do this; refuse rather than drop the image being written.
        ReportError(QStringLiteral("OpenFile(") + sFileName
                    + QStringLiteral("):An output file is already open:0"));
        return false;
    }
    // The image replaces whatever has the name: over a device or a pipe (/dev/null, chosen by
    // a slip in the dialog) that would put a plain file where the system expects the device.
    const QFileInfo existing(sFileName);
    if (existing.exists() && !existing.isFile()) {
        ReportError(QStringLiteral("Unable to Open Output File"));
        return false;
    }
    auto output = std::make_unique<Output>(sFileName);
    // Unbuffered: every line is one write to the file, so a failure shows at that line.
    // QSaveFile will not fall back to writing over the file in place when it cannot create
    // its temporary file (a read-only folder), so that case lands here too.
    if (!output->file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
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
    const QByteArray buffer = sOutput + "\r\n";
    if (m_output->file.write(buffer) != buffer.size()) {
        // A short write leaves no error in QSaveFile, so cancel it ourselves: whatever
        // happens next, this image can no longer be committed.
        m_output->failed = true;
        m_output->file.cancelWriting();
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
    auto discard = [&output] {
        output->file.cancelWriting();
        return false;
    };
    if (output->failed)
        return discard();
#ifdef Q_OS_UNIX
    // QSaveFile::commit syncs too but ignores a failure; the data must be on disk before the
    // rename, so sync here and stop if that fails.
    if (::fsync(output->file.handle()) != 0)
        return discard();
#endif
    if (!output->file.commit())
        return discard();
#ifdef Q_OS_UNIX
    // Make the rename itself durable. Best effort: the new image is in place either way.
    const QByteArray folder = QFile::encodeName(QFileInfo(output->file.fileName()).absolutePath());
    const int folderHandle = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderHandle >= 0) {
        ::fsync(folderHandle);
        ::close(folderHandle);
    }
#endif
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
        m_output->file.cancelWriting();
        m_output.reset();
    }
}

bool clsICOMFiles::ValidCheckSum(const QByteArray &sFileRecord) const
{
    return ::ValidCheckSum(sFileRecord);
}

QByteArray clsICOMFiles::CheckChars(const QByteArray &sData) const { return ::CheckChars(sData); }

bool clsICOMFiles::ValidModel(const QByteArray &sFileModel, const QByteArray &sRadioModel) const
{
    if (sFileModel.size() != 8 || sRadioModel.size() != 8)
        return false;
    if (sFileModel.first(4) != sRadioModel.first(4))
        return false;
    if (sFileModel.sliced(4) == sRadioModel.sliced(4))
        return true;
    return userSeam().askOkCancel(
        AppTitle(), QStringLiteral("Disk File is for a different version of this radio"), false);
}

bool clsICOMFiles::inputOpen() const { return m_input != nullptr; }

bool clsICOMFiles::outputOpen() const { return m_output != nullptr; }
