#include "tools/virtualradio.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr char kPreamble = char(0xFE);
constexpr char kFrameEnd = char(0xFD);
constexpr char kRadioAddress = char(0xEE);
constexpr char kToolAddress = char(0xEF);

constexpr quint8 kIdentifyRequest = 0xE0;
constexpr quint8 kIdentifyReply = 0xE1;
constexpr quint8 kReadRequest = 0xE2;
constexpr quint8 kWriteRequest = 0xE3;
constexpr quint8 kDataRecord = 0xE4;
constexpr quint8 kEndOfData = 0xE5;
constexpr quint8 kTransferResult = 0xE6;

constexpr int kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
constexpr qint64 kNsPerSecond = 1'000'000'000;
// A tool that never sends FD must not grow the frame buffer without end; the longest frame
// (a 255-byte record) is about 530 bytes.
constexpr qsizetype kMaxFrame = 8192;
// After EIO on the master (no slave open anywhere), look again this much later, not at once.
constexpr std::chrono::milliseconds kReadRetry = 100ms;
// A pulled cable hangs up once the tool has read what came before, as a UART keeps what it has
// received; the kernel would throw those bytes away at the hang-up. A tool that stops reading
// gets its hang-up after this long anyway.
constexpr std::chrono::milliseconds kDrainLimit = 1000ms;
constexpr std::chrono::milliseconds kDrainPoll = 5ms;

qint64 toNs(std::chrono::milliseconds ms)
{
    return qint64(ms.count()) * 1'000'000;
}

}  // namespace

VirtualRadio::VirtualRadio(const VirtualRadioOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_pty(std::make_unique<PseudoTerminal>())
{
    m_clock.start();
    if (m_options.bitsPerSecond > 0)
        m_byteNs = kBitsPerByte * kNsPerSecond / m_options.bitsPerSecond;

    m_lineTimer.setSingleShot(true);
    m_lineTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_lineTimer, &QTimer::timeout, this, &VirtualRadio::pumpLine);
    m_retryRead.setSingleShot(true);
    m_retryRead.setInterval(kReadRetry);
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setInterval(kDrainPoll);
    connect(&m_drainTimer, &QTimer::timeout, this, &VirtualRadio::closeWhenDrained);

    if (!m_pty->isOpen())
        return;
    m_readNotifier = new QSocketNotifier(m_pty->masterFd(), QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &VirtualRadio::readMaster);
    m_writeNotifier = new QSocketNotifier(m_pty->masterFd(), QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &VirtualRadio::writePending);
    connect(&m_retryRead, &QTimer::timeout, m_readNotifier,
            [this] { m_readNotifier->setEnabled(true); });
}

VirtualRadio::~VirtualRadio()
{
    // The notifiers must go before their descriptor does.
    delete m_readNotifier;
    delete m_writeNotifier;
}

bool VirtualRadio::isOpen() const
{
    return m_pty->isOpen();
}

QString VirtualRadio::devicePath() const
{
    return m_pty->slavePath();
}

bool VirtualRadio::publishAs(PortFolder &folder, int portNumber) const
{
    return isOpen() && folder.publish(portNumber, devicePath());
}

QByteArray VirtualRadio::writtenIcf() const
{
    return RadioMemory::icfText({m_options.modelCode, m_options.comment, m_written});
}

void VirtualRadio::readMaster()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_pty->masterFd(), buffer, sizeof buffer);
        if (n > 0 && m_closeWhenWritten)
            continue;
        if (n > 0) {
            const QByteArray bytes(buffer, n);
            if (m_options.cable)
                putOnLine(bytes, nowNs());
            for (char byte : bytes)
                takeByte(byte);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        // EIO: no slave is open. Rare, since the pty holds one; wait instead of spinning.
        m_readNotifier->setEnabled(false);
        m_retryRead.start();
        break;
    }
    pumpLine();
}

void VirtualRadio::takeByte(char byte)
{
    m_frame.append(byte);
    if (byte == kFrameEnd) {
        const QByteArray frame = m_frame;
        m_frame.clear();
        handleFrame(frame);
    } else if (m_frame.size() >= kMaxFrame) {
        m_frame.clear();
    }
}

void VirtualRadio::handleFrame(const QByteArray &frame)
{
    m_framesFromTool.append(frame);
    emit frameFromTool(frame);
    if (!m_options.cable || !m_options.radioOn || m_masterClosed)
        return;

    // The radio syncs on the preamble: whatever came before it is line noise.
    qsizetype start = frame.indexOf(QByteArrayView("\xFE\xFE", 2));
    if (start < 0)
        return;
    while (start < frame.size() && frame.at(start) == kPreamble)
        ++start;
    const QByteArray body = frame.mid(start);  // to, from, command, data, FD
    if (body.size() < 4 || body.at(0) != kRadioAddress || body.at(1) != kToolAddress)
        return;
    const quint8 command = quint8(body.at(2));
    const QByteArray data = body.mid(3, body.size() - 4);

    if (m_state == State::Silent && command != kIdentifyRequest)
        return;
    switch (command) {
    case kIdentifyRequest:
        m_state = State::Idle;
        answerModel();
        break;
    case kReadRequest:
        m_state = State::Reading;
        streamMemory();
        break;
    case kWriteRequest:
        // A radio takes a write only for its own model: any other request is ignored, and
        // so are the records and the end that follow it.
        if (data != m_options.modelCode) {
            m_state = State::Idle;
            break;
        }
        m_state = State::Writing;
        m_written.clear();
        m_recordsReceived = 0;
        m_badRecordsReceived = 0;
        if (m_options.closeAfterRecords == 0)
            putOnLine({}, nowNs(), After::CloseMaster);
        break;
    case kDataRecord:
        if (m_state == State::Writing)
            takeRecord(data);
        break;
    case kEndOfData:
        if (m_state == State::Writing)
            finishWrite();
        break;
    case kTransferResult:
        if (m_state == State::Reading) {
            m_state = State::Idle;
            m_lastResultFromTool.reset();
            if (!data.isEmpty())
                m_lastResultFromTool = quint8(data.at(0));
            ++m_readsFinished;
            emit readFinished();
        }
        break;
    default: break;
    }
}

void VirtualRadio::answerModel()
{
    const QByteArray data = m_options.modelCode + m_options.comment;
    if (m_options.modelReplyGap < 0ms) {
        sendFrame(kIdentifyReply, data);
        return;
    }
    QByteArray frame = QByteArray("\xFE\xFE", 2) + kToolAddress + kRadioAddress
                       + char(kIdentifyReply) + data + kFrameEnd;
    const qsizetype half = frame.size() / 2;
    putOnLine(m_options.noise + frame.left(half), radioStartNs());
    putOnLine(frame.mid(half), m_lineFreeNs + toNs(m_options.modelReplyGap));
}

void VirtualRadio::streamMemory()
{
    m_recordsSent = 0;
    const int silentAfter = m_options.silentAfterRecords;
    const int closeAfter = m_options.closeAfterRecords;
    for (int k = 0;; ++k) {
        // k records of the memory are behind us.
        if (k == closeAfter) {
            putOnLine({}, m_lineFreeNs, After::CloseMaster);
            return;
        }
        if (k == silentAfter) {
            m_state = State::Silent;
            return;
        }
        if (k == m_options.memory.size())
            break;
        const int number = k + 1;
        if (number == m_options.dropRecord)
            continue;
        QByteArray data = RadioMemory::recordFrameData(m_options.memory.at(k));
        if (number == m_options.badChecksumAtRecord) {
            const quint8 wrong = quint8(data.right(2).toUInt(nullptr, 16) + 1);
            data.replace(data.size() - 2, 2,
                         QByteArray::number(wrong, 16).toUpper().rightJustified(2, '0'));
        }
        sendFrame(kDataRecord, data, After::CountRecord, number == m_options.injectAtRecord);
    }
    sendFrame(kEndOfData, {});
}

void VirtualRadio::takeRecord(const QByteArray &data)
{
    ++m_recordsReceived;
    if (const std::optional<RadioRecord> record = RadioMemory::parseRecordFrameData(data))
        m_written.append(*record);
    else
        ++m_badRecordsReceived;
    if (m_recordsReceived == m_options.closeAfterRecords)
        putOnLine({}, nowNs(), After::CloseMaster);  // after the echo of this record
    else if (m_recordsReceived == m_options.silentAfterRecords)
        m_state = State::Silent;
}

void VirtualRadio::finishWrite()
{
    QByteArray result;
    if (m_badRecordsReceived > 0)
        result.append(char(VirtualRadio::kResultBadRecord));
    else if (m_options.resultByte)
        result.append(char(*m_options.resultByte));
    const bool accepted = result == QByteArray(1, '\0');
    if (accepted)
        m_options.memory = m_written;
    m_state = State::Idle;
    ++m_writesFinished;
    sendFrame(kTransferResult, result);
    emit writeFinished(accepted);
}

qint64 VirtualRadio::radioStartNs() const
{
    return qMax(nowNs(), m_lineFreeNs) + toNs(m_options.answerDelay);
}

void VirtualRadio::putOnLine(const QByteArray &bytes, qint64 notBeforeNs, After after)
{
    if (m_masterClosed)
        return;
    Chunk chunk;
    chunk.bytes = bytes;
    chunk.startNs = qMax(notBeforeNs, m_lineFreeNs);
    chunk.after = after;
    m_lineFreeNs = chunk.startNs + bytes.size() * m_byteNs;
    m_line.push_back(std::move(chunk));
}

void VirtualRadio::sendFrame(quint8 command, const QByteArray &data, After after, bool inject)
{
    QByteArray frame;
    frame.reserve(m_options.noise.size() + data.size() + 6);
    frame += m_options.noise;
    frame += kPreamble;
    frame += kPreamble;
    frame += kToolAddress;
    frame += kRadioAddress;
    frame += char(command);
    frame += data;
    frame += kFrameEnd;
    if (inject) {
        const qsizetype at =
            std::clamp<qsizetype>(m_options.noise.size() + m_options.injectOffset, 0, frame.size());
        frame.replace(at, std::clamp<qsizetype>(m_options.injectReplaces, 0, frame.size() - at),
                      m_options.injectBytes);
    }
    putOnLine(frame, radioStartNs(), after);
}

void VirtualRadio::pumpLine()
{
    if (m_masterClosed)
        return;
    const qint64 now = nowNs();
    int recordsDone = 0;
    while (!m_line.empty()) {
        Chunk &chunk = m_line.front();
        if (now < chunk.startNs)
            break;
        qsizetype due = chunk.bytes.size();
        if (m_byteNs > 0)
            due = qMin(due, qsizetype((now - chunk.startNs) / m_byteNs));
        if (due > chunk.sent) {
            m_pendingWrite.append(chunk.bytes.constData() + chunk.sent, due - chunk.sent);
            chunk.sent = due;
        }
        if (chunk.sent < chunk.bytes.size())
            break;
        const After after = chunk.after;
        m_line.pop_front();
        if (after == After::CountRecord) {
            ++recordsDone;
        } else if (after == After::CloseMaster) {
            m_closeWhenWritten = true;
            m_drainDeadline.setRemainingTime(kDrainLimit);
            m_line.clear();
        }
    }
    if (!m_line.empty()) {
        const Chunk &next = m_line.front();
        const qint64 dueNs = next.startNs + (next.sent + 1) * m_byteNs;
        m_lineTimer.start(int((qMax<qint64>(dueNs - now, 0) + 999'999) / 1'000'000));
    }
    for (int i = 0; i < recordsDone; ++i)
        emit recordSent(++m_recordsSent);
    writePending();
}

void VirtualRadio::writePending()
{
    while (!m_masterClosed && !m_pendingWrite.isEmpty()) {
        const ssize_t n =
            ::write(m_pty->masterFd(), m_pendingWrite.constData(), size_t(m_pendingWrite.size()));
        if (n > 0) {
            m_pendingWrite.remove(0, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            m_writeNotifier->setEnabled(true);  // the tool has not read yet: wait for room
            return;
        } else {
            m_pendingWrite.clear();  // nobody can ever read it
        }
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    if (m_closeWhenWritten && !m_masterClosed)
        closeWhenDrained();
}

void VirtualRadio::closeWhenDrained()
{
    if (m_pty->slaveHasUnread() && !m_drainDeadline.hasExpired())
        m_drainTimer.start();
    else
        closeMaster();
}

void VirtualRadio::closeMaster()
{
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    m_retryRead.stop();
    m_lineTimer.stop();
    m_drainTimer.stop();
    m_line.clear();
    m_pendingWrite.clear();
    m_pty->closeMaster();
    m_masterClosed = true;
    emit masterClosed();
}
