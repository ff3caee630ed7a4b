// Speed of a whole read and a whole write through the virtual radio.
//
//   build/bench/bench_transfer [image-bytes] [bits-per-second]
//
// Paced (default 9600 bit/s): each transfer's time as a ratio to the wire time of the bytes
// its dialogue puts on the line (every frame of the tool once, every frame of the radio,
// 10 bits a byte). Unpaced: records per second, with the conversation pane shown and hidden.
// Defaults: a 65536-byte image in 32-byte records. QT_QPA_PLATFORM=offscreen works.

#include "app/frmreadwrite.h"
#include "tests/support/scriptedseam.h"
#include "tools/virtualradio.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>

namespace {
constexpr int kRecordSize = 32;
constexpr qint64 kGiveUpMs = 30 * 60 * 1000;

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
    QElapsedTimer clock;
    clock.start();
    (writing ? w.cmdWrite : w.cmdRead)->click();
    // A plain event loop: QTest's waits sleep between rounds and would slow the transfer.
    QEventLoop loop;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        if (!w.MSComm1.PortOpen() || clock.elapsed() > kGiveUpMs)
            loop.quit();
    });
    watch.start(5);
    loop.exec();
    const bool ended = !w.MSComm1.PortOpen();
    Run run;
    run.seconds = clock.nsecsElapsed() / 1e9;
    run.lineBytes = bytesOn(radio.framesFromTool()) + radioBytes;
    run.ok = ended;
    return run;
}
} // namespace

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
    options.memory = RadioMemory::splitIntoRecords(RadioMemory::patternedImage(imageBytes),
                                                   kRecordSize, 0);
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
                        bps, name, run.seconds, qlonglong(run.lineBytes), wire,
                        run.seconds / wire, run.ok ? "" : " (DID NOT END)");
        }
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
