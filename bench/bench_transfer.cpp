// Speed of a whole read and a whole write through the virtual radio.
//
//   build/bench/bench_transfer [image-bytes] [bits-per-second]
//
// Paced (default 9600 bit/s): each transfer's time as a ratio to the wire time of the bytes
// its dialogue puts on the line (every frame of the tool once, every frame of the radio,
// 10 bits a byte). Unpaced: records per second, with the conversation pane shown and hidden.
// Defaults: a 65536-byte image in 32-byte records. QT_QPA_PLATFORM=offscreen works.
//
// Paced, it also times the turnaround of a write as the radio sees it: from the radio putting
// the last byte of record k's echo on the line to the first byte of record k+1 reaching it,
// median and 99th percentile, for the tool (its window, and its conversation alone, as the
// command line drives it) and for a minimal client that only speaks the protocol (blocking
// reads and writes on the device). That radio runs on its own thread and
// paces every byte to the microsecond; at most kTurnaroundRecords records are written.

#include "app/frmreadwrite.h"
#include "bench/timedtransfer.h"
#include "link/conversation.h"
#include "serial/commsmodule.h"
#include "tests/support/scriptedseam.h"
#include "tools/virtualradio.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <deque>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {
constexpr int kRecordSize = 32;
constexpr qint64 kGiveUpMs = 30 * 60 * 1000;
constexpr int kTurnaroundRecords = 300;
constexpr char kFrameEnd = char(0xFD);
constexpr char kDataRecord = char(0xE4);

qint64 monotonicNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A cable and radio on their own thread: every byte from the sender is echoed one byte time
// after the line is free, the model request and the end of a write are answered, and each
// byte leaves at its own due time.
class TimedRadio {
public:
    TimedRadio(int bps, const QByteArray &modelData)
        : m_byteNs(10'000'000'000LL / bps), m_modelData(modelData), m_thread([this] { run(); })
    {}
    ~TimedRadio()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    QString device() const { return m_pty.slavePath(); }
    // Nanoseconds from a record's echo leaving to the next record arriving; read after a run.
    QList<qint64> takeTurnarounds()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_turnarounds;
    }

private:
    struct Due {
        char byte;
        qint64 atNs;
        bool endsRecordEcho;
    };

    void put(const QByteArray &bytes, qint64 notBeforeNs, bool recordEcho = false)
    {
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            m_lineFreeNs = std::max(m_lineFreeNs, notBeforeNs) + m_byteNs;
            m_out.push_back({bytes.at(i), m_lineFreeNs, recordEcho && i + 1 == bytes.size()});
        }
    }
    QByteArray frame(char command, const QByteArray &data) const
    {
        return QByteArray::fromHex("FEFEEFEE") + command + data + kFrameEnd;
    }
    void run()
    {
        ::prctl(PR_SET_TIMERSLACK, 1UL);
        QByteArray incoming;
        qint64 echoLeftNs = -1;
        qint64 pendingSample = -1;
        while (!m_stop) {
            while (!m_out.empty() && m_out.front().atNs <= monotonicNs()) {
                if (::write(m_pty.masterFd(), &m_out.front().byte, 1) != 1)
                    break;
                if (m_out.front().endsRecordEcho)
                    echoLeftNs = monotonicNs();
                m_out.pop_front();
            }
            const qint64 waitNs =
                m_out.empty() ? 5'000'000 : std::max<qint64>(m_out.front().atNs - monotonicNs(), 0);
            const timespec timeout{time_t(waitNs / 1'000'000'000), long(waitNs % 1'000'000'000)};
            pollfd p{m_pty.masterFd(), POLLIN, 0};
            if (::ppoll(&p, 1, &timeout, nullptr) <= 0 || !(p.revents & POLLIN))
                continue;
            const qint64 arrivedNs = monotonicNs();
            char buffer[1024];
            const ssize_t n = ::read(m_pty.masterFd(), buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                if (incoming.isEmpty() && echoLeftNs >= 0) {
                    pendingSample = arrivedNs - echoLeftNs;
                    echoLeftNs = -1;
                }
                incoming += buffer[i];
                if (buffer[i] != kFrameEnd)
                    continue;
                const char command = incoming.size() > 4 ? incoming.at(4) : 0;
                if (command == kDataRecord && pendingSample >= 0)
                    m_turnarounds << pendingSample;
                pendingSample = -1;
                put(incoming, arrivedNs, command == kDataRecord);
                if (command == char(0xE0))
                    put(frame(char(0xE1), m_modelData), arrivedNs);
                else if (command == char(0xE5))
                    put(frame(char(0xE6), QByteArray(1, '\0')), arrivedNs);
                incoming.clear();
            }
        }
    }

    PseudoTerminal m_pty;
    const qint64 m_byteNs;
    const QByteArray m_modelData;
    std::deque<Due> m_out;
    qint64 m_lineFreeNs = 0;
    QList<qint64> m_turnarounds;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Reads from fd until count frame ends have come.
bool awaitFrameEnds(int fd, int count)
{
    char byte;
    while (count > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0 || ::read(fd, &byte, 1) != 1)
            return false;
        count -= byte == kFrameEnd;
    }
    return true;
}

// The least a client must do to write the records: send each when the last one's echo is back.
bool writeMinimally(const QString &device, const QByteArray &model,
                    const QList<RadioRecord> &records)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return false;
    auto send = [fd](char command, const QByteArray &data) {
        const QByteArray frame = QByteArray::fromHex("FEFEEEEF") + command + data + kFrameEnd;
        return ::write(fd, frame.constData(), size_t(frame.size())) == frame.size();
    };
    bool ok = send(char(0xE0), QByteArray(4, '\0')) && awaitFrameEnds(fd, 2)
              && send(char(0xE3), model) && awaitFrameEnds(fd, 1);
    for (const RadioRecord &record : records)
        ok = ok && send(kDataRecord, RadioMemory::recordFrameData(record)) && awaitFrameEnds(fd, 1);
    ok = ok && send(char(0xE5), "Icom Inc.") && awaitFrameEnds(fd, 2);
    ::close(fd);
    return ok;
}

// "median 0.412 ms, 99% 0.873 ms (299 records)"
QByteArray describe(QList<qint64> samples)
{
    if (samples.isEmpty())
        return "no samples";
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples.at(qsizetype(q * double(samples.size() - 1))) / 1e6;
    };
    return QByteArray("median ") + QByteArray::number(at(0.5), 'f', 3) + " ms, 99% "
           + QByteArray::number(at(0.99), 'f', 3) + " ms (" + QByteArray::number(samples.size())
           + " records)";
}

struct Run {
    double seconds = 0;
    qint64 lineBytes = 0;
    bool ok = false;
};

qint64 bytesOn(const QList<QByteArray> &frames)
{
    qint64 n = 0;
    for (const QByteArray &f : frames)
        n += f.size();
    return n;
}

// Frames the radio sends in a read: the model reply, one per record, the end.
qint64 radioReadBytes(const VirtualRadioOptions &o)
{
    qint64 n = 6 + o.modelCode.size() + o.comment.size();
    for (const RadioRecord &r : o.memory)
        n += 6 + RadioMemory::recordFrameData(r).size();
    return n + 6;
}

Run transfer(frmReadWrite &w, VirtualRadio &radio, bool writing, qint64 radioBytes)
{
    radio.clearFramesFromTool();
    const TimedTransfer timed = timeTransfer(w, writing, kGiveUpMs);
    return {timed.seconds, bytesOn(radio.framesFromTool()) + radioBytes, timed.ended};
}
}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int imageBytes = argc > 1 ? QByteArray(argv[1]).toInt() : 65536;
    const int bps = argc > 2 ? QByteArray(argv[2]).toInt() : 9600;

    QTemporaryDir dir;
    PortFolder ports;
    ports.makeCurrent();
    ScriptedSeam user;

    VirtualRadioOptions options;
    options.memory =
        RadioMemory::splitIntoRecords(RadioMemory::patternedImage(imageBytes), kRecordSize, 0);
    const int records = int(options.memory.size());
    const QString file = dir.filePath(QStringLiteral("bench.icf"));

    auto measure = [&](int speed, bool paneShown) {
        VirtualRadioOptions o = options;
        o.bitsPerSecond = speed;
        VirtualRadio radio(o);
        radio.publishAs(ports, 1);
        frmReadWrite w;
        w.Form_Load();
        if (paneShown)
            w.chkShowText->click();
        w.show();
        if (speed > 0)
            w.cboSpeed->setCurrentText(QString::number(speed));
        user.answerSave(file);
        const Run read = transfer(w, radio, false, radioReadBytes(o));
        user.answerOpen(file);
        // The radio answers a write with its model reply and its result.
        const Run write = transfer(w, radio, true, 6 + o.modelCode.size() + o.comment.size() + 7);
        return std::pair{read, write};
    };

    std::printf("image %d bytes, %d records of %d bytes\n", imageBytes, records, kRecordSize);
    if (bps > 0) {
        const auto [read, write] = measure(bps, false);
        for (const auto &[name, run] : {std::pair{"read", read}, std::pair{"write", write}}) {
            const double wire = run.lineBytes * 10.0 / bps;
            std::printf("paced %d bit/s %-5s: %7.2f s, wire time of %lld bytes %7.2f s, "
                        "ratio %.3f%s\n",
                        bps, name, run.seconds, qlonglong(run.lineBytes), wire, run.seconds / wire,
                        run.ok ? "" : " (DID NOT END)");
        }

        // The turnaround, on a file of at most kTurnaroundRecords records.
        VirtualRadioOptions small = options;
        small.memory = options.memory.mid(0, kTurnaroundRecords);
        const QByteArray modelData = small.modelCode + small.comment;
        {
            VirtualRadio source(small);
            source.publishAs(ports, 1);
            frmReadWrite w;
            w.Form_Load();
            w.show();
            user.answerSave(file);
            transfer(w, source, false, 0);
        }
        TimedRadio forTool(bps, modelData);
        ports.publish(1, forTool.device());
        {
            frmReadWrite w;
            w.Form_Load();
            w.show();
            user.answerOpen(file);
            VirtualRadio unused;
            transfer(w, unused, true, 0);
        }
        const QList<qint64> tool = forTool.takeTurnarounds();
        TimedRadio forEngine(bps, modelData);
        {
            SerialControl control;
            InitCommsControl(control);
            control.pinDevice(forEngine.device());
            CommonDialog dialog;
            clsICOMFiles files;
            Conversation conversation(control, dialog, user);
            conversation.setFileSystem(&files);
            QEventLoop loop;
            QObject::connect(&conversation, &Conversation::finished, &loop, &QEventLoop::quit,
                             Qt::QueuedConnection);
            user.answerOpen(file);
            if (conversation.StartTransfer(true, QString(), QString::number(bps)))
                loop.exec();
        }
        const QList<qint64> engine = forEngine.takeTurnarounds();
        TimedRadio forClient(bps, modelData);
        const bool clientOk = writeMinimally(forClient.device(), small.modelCode, small.memory);
        const QList<qint64> client = forClient.takeTurnarounds();
        std::printf("turnaround %d bit/s, tool:           %s\n", bps, describe(tool).constData());
        std::printf("turnaround %d bit/s, conversation:   %s\n", bps, describe(engine).constData());
        std::printf("turnaround %d bit/s, minimal client: %s%s\n", bps,
                    describe(client).constData(), clientOk ? "" : " (DID NOT END)");
    }
    for (const bool paneShown : {true, false}) {
        const auto [read, write] = measure(0, paneShown);
        std::printf("unpaced, pane %s: read %.0f records/s (%.3f s), write %.0f records/s "
                    "(%.3f s)\n",
                    paneShown ? "shown" : "hidden", records / read.seconds, read.seconds,
                    records / write.seconds, write.seconds);
    }
    std::printf("messages: %s\n", qPrintable(user.messages().join(QStringLiteral(" | "))));
    return 0;
}
