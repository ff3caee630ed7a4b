// A read and a write through a remote cable (ser2net on 127.0.0.1, RFC 2217) against the same
// on the local pseudo-terminal, at 9600 and 38400 bit/s, as ratios of the wire time.
//
//   build/bench/bench_remote [image-bytes]     (default 16384, in 32-byte records)
//
// ser2net is taken from the build tree (scripts/setup.sh unpacks it there) or REPLIX_SER2NET.
// The goal: the remote figure within 1.05 of the local one. QT_QPA_PLATFORM=offscreen works.

#include "app/frmreadwrite.h"
#include "bench/timedtransfer.h"
#include "tests/support/scriptedseam.h"
#include "tools/virtualradio.h"

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int kRecordSize = 32;
constexpr qint64 kGiveUpMs = 10 * 60 * 1000;

// Bytes on the line both ways, 10 bits each: the tool's frames and the radio's.
qint64 lineBytes(VirtualRadio &radio, const VirtualRadioOptions &o, bool writing)
{
    qint64 n = 6 + o.modelCode.size() + o.comment.size() + (writing ? 7 : 6);
    for (const QByteArray &f : radio.framesFromTool())
        n += f.size();
    if (!writing)
        for (const RadioRecord &r : o.memory)
            n += 6 + RadioMemory::recordFrameData(r).size();
    return n;
}

}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int imageBytes = argc > 1 ? QByteArray(argv[1]).toInt() : 16384;
    const QString ser2net =
        qEnvironmentVariable("REPLIX_SER2NET", QCoreApplication::applicationDirPath()
                                                   + QStringLiteral("/../peers/usr/sbin/ser2net"));
    QTemporaryDir dir;
    PortFolder ports;
    ports.makeCurrent();
    ScriptedSeam user;
    const QString file = dir.filePath(QStringLiteral("bench.icf"));

    std::printf("image %d bytes in %d-byte records\n", imageBytes, kRecordSize);
    for (int bps : {9600, 38400}) {
        double ratios[2][2] = {};  // [remote][writing]
        for (bool remote : {false, true}) {
            VirtualRadioOptions o;
            o.memory = RadioMemory::splitIntoRecords(RadioMemory::patternedImage(imageBytes),
                                                     kRecordSize, 0);
            o.bitsPerSecond = bps;
            VirtualRadio radio(o);
            radio.publishAs(ports, 1);
            QProcess server;
            if (remote) {
                QTcpServer probe;
                probe.listen(QHostAddress::LocalHost, 0);
                const int port = probe.serverPort();
                probe.close();
                QFile config(dir.filePath(QStringLiteral("ser2net.yaml")));
                config.open(QIODevice::WriteOnly);
                config.write(QStringLiteral("connection: &radio\n  accepter: "
                                            "telnet(rfc2217),tcp(nodelay),127.0.0.1,%1\n"
                                            "  options:\n    chardelay: false\n"
                                            "  connector: serialdev(nouucplock),%2,9600n81,local\n")
                                 .arg(port)
                                 .arg(radio.devicePath())
                                 .toUtf8());
                config.close();
                server.start(ser2net,
                             {QStringLiteral("-n"), QStringLiteral("-c"), config.fileName(),
                              QStringLiteral("-P"), dir.filePath(QStringLiteral("pid"))});
                if (!server.waitForStarted()) {
                    std::printf("no ser2net at %s\n", qPrintable(ser2net));
                    return 2;
                }
                QEventLoop settle;
                QTimer::singleShot(500, &settle, &QEventLoop::quit);
                settle.exec();
                ports.unpublish(1);
                QFile entry(ports.path() + QStringLiteral("/COM1"));
                entry.open(QIODevice::WriteOnly);
                entry.write(QStringLiteral("rfc2217://127.0.0.1:%1\n").arg(port).toUtf8());
            }
            frmReadWrite w;
            w.Form_Load();
            w.cboSpeed->setCurrentText(QString::number(bps));
            for (bool writing : {false, true}) {
                radio.clearFramesFromTool();
                writing ? user.answerOpen(file) : user.answerSave(file);
                const double seconds = timeTransfer(w, writing, kGiveUpMs).seconds;
                const double wire = lineBytes(radio, o, writing) * 10.0 / bps;
                ratios[remote][writing] = seconds / wire;
                std::printf("%6d bit/s %-6s %-5s: %7.2f s, wire %7.2f s, ratio %.3f\n", bps,
                            remote ? "remote" : "local", writing ? "write" : "read", seconds, wire,
                            seconds / wire);
            }
            server.kill();
            server.waitForFinished();
        }
        std::printf("%6d bit/s remote/local: read %.3f, write %.3f\n", bps,
                    ratios[1][0] / ratios[0][0], ratios[1][1] / ratios[0][1]);
    }
    std::printf("messages: %s\n", qPrintable(user.messages().join(QStringLiteral(" | "))));
    return 0;
}
