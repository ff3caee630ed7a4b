#pragma once
// A radio and its interface cable on a pseudo-terminal. The tool opens the slave side as its
// serial device; this object answers on the master side, event-driven on the thread it lives
// on. The cable echoes every byte the tool sends; the radio answers the model request, streams
// its memory as DataRecord frames, and takes a write. Options add the faults a real line has.
//
// A test puts it behind port 1 and waits for the end of a write like this:
//     PortFolder ports;
//     ports.makeCurrent();                      // REPLIX_PORT_DIR for the tool
//     VirtualRadio radio(options);
//     QVERIFY(radio.publishAs(ports, 1));
//     ... start the write in the tool ...
//     QTRY_COMPARE(radio.writesFinished(), 1);  // or a QSignalSpy on writeFinished
//     QCOMPARE(radio.framesFromTool(), expectedFrames);

#include "tools/pty.h"
#include "tools/radiomemory.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>

class QSocketNotifier;

struct VirtualRadioOptions {
    static constexpr int kDefaultImageSize = 4096;
    static constexpr int kDefaultRecordSize = 32;

    // Made up, but shaped like a real radio's: model 5A17, version 0002.
    QByteArray modelCode = QByteArray("\x5A\x17\x00\x02", 4);
    QByteArray comment = QByteArray("VR-5A17 Ver 1.02");  // any 16 bytes but FD
    // What a read streams, in order; a successful write replaces it.
    QList<RadioRecord> memory = RadioMemory::splitIntoRecords(
        RadioMemory::patternedImage(kDefaultImageSize), kDefaultRecordSize, 0);

    bool cable = true;    // false: no cable, nothing at all comes back
    bool radioOn = true;  // false: the cable echoes, the radio never answers
    // Wire time of 10 bits a byte at this speed for everything put on the line, echoes
    // included; 0 sends at once.
    int bitsPerSecond = 0;
    // Silence on the line before each frame the radio sends.
    std::chrono::milliseconds answerDelay{0};
    QByteArray noise;  // sent just before each frame of the radio

    // Records are counted from 1, in the order a read sends them or a write brings them.
    int badChecksumAtRecord = 0;  // that record goes out with its checksum off by one
    // Line noise inside one record of a read: injectBytes go into that record's frame at
    // injectOffset (0: before its first FE, 5: at the head of its hex text), in place of
    // injectReplaces bytes of the frame. The rest of the frame goes out as it is.
    int injectAtRecord = 0;
    int injectOffset = 0;
    int injectReplaces = 0;
    QByteArray injectBytes;
    int dropRecord = 0;  // that record is left out; the read goes on
    // read: no record after k, no EndOfData; write: no result; until the next model request.
    int silentAfterRecords = -1;
    // A pulled cable: the master closes after k records, once the tool has read them.
    int closeAfterRecords = -1;

    // The model reply leaves in two pieces with this gap between them; negative: one piece.
    std::chrono::milliseconds modelReplyGap{-1};

    // The result a write ends with; nothing: a TransferResult without any data byte. A write
    // that brought a record with a bad checksum ends with kResultBadRecord whatever this says.
    std::optional<quint8> resultByte = quint8(0x00);
};

class VirtualRadio : public QObject {
    Q_OBJECT
public:
    static constexpr quint8 kResultBadRecord = 0x01;

    explicit VirtualRadio(const VirtualRadioOptions &options = {}, QObject *parent = nullptr);
    ~VirtualRadio() override;

    bool isOpen() const;         // false when the pty could not be made
    QString devicePath() const;  // the slave: the tool's serial device
    bool publishAs(PortFolder &folder, int portNumber) const;  // COMn -> devicePath()
    const VirtualRadioOptions &options() const { return m_options; }

    // Every complete frame the tool sent, FD included, byte for byte and in order; recorded
    // with or without cable and radio.
    const QList<QByteArray> &framesFromTool() const { return m_framesFromTool; }
    void clearFramesFromTool() { m_framesFromTool.clear(); }

    const QList<RadioRecord> &memory() const { return m_options.memory; }
    // The records of the last write, in the order they came (bad ones left out).
    const QList<RadioRecord> &writtenRecords() const { return m_written; }
    // The last write as an ICF file, under this radio's model code and comment.
    QByteArray writtenIcf() const;

    int recordsSent() const { return m_recordsSent; }          // on the wire, this read
    int recordsReceived() const { return m_recordsReceived; }  // this write, bad ones included
    int badRecordsReceived() const { return m_badRecordsReceived; }
    int readsFinished() const { return m_readsFinished; }
    int writesFinished() const { return m_writesFinished; }
    // The data byte of the tool's TransferResult after the last read; nothing if none came.
    std::optional<quint8> lastResultFromTool() const { return m_lastResultFromTool; }
    bool cablePulled() const { return m_masterClosed; }

signals:
    void frameFromTool(const QByteArray &frame);
    void recordSent(int count);
    // The tool's TransferResult came after a read's EndOfData.
    void readFinished();
    // The radio has answered a write's EndOfData; accepted (the memory now holds the written
    // records) only when it answered 00.
    void writeFinished(bool accepted);
    void masterClosed();

private:
    enum class After { Nothing, CountRecord, CloseMaster };
    // One piece of the line's traffic, its wire time fixed when it was queued.
    struct Chunk {
        QByteArray bytes;
        qint64 startNs = 0;  // when the first bit goes out
        qsizetype sent = 0;
        After after = After::Nothing;
    };

    void readMaster();
    void takeByte(char byte);
    void handleFrame(const QByteArray &frame);
    void answerModel();
    void streamMemory();
    void takeRecord(const QByteArray &data);
    void finishWrite();

    // The line: everything queued leaves in order, each byte one byte time after the last.
    qint64 nowNs() const { return m_clock.nsecsElapsed(); }
    qint64 radioStartNs() const;
    void putOnLine(const QByteArray &bytes, qint64 notBeforeNs, After after = After::Nothing);
    void sendFrame(quint8 command, const QByteArray &data, After after = After::Nothing,
                   bool inject = false);
    void pumpLine();
    void writePending();
    void closeWhenDrained();
    void closeMaster();

    VirtualRadioOptions m_options;
    std::unique_ptr<PseudoTerminal> m_pty;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer m_lineTimer;
    QTimer m_retryRead;
    QElapsedTimer m_clock;
    qint64 m_byteNs = 0;
    qint64 m_lineFreeNs = 0;
    std::deque<Chunk> m_line;
    QByteArray m_pendingWrite;        // due on the wire, not yet taken by the pty
    bool m_closeWhenWritten = false;  // the cable is being pulled: nothing more goes out
    QDeadlineTimer m_drainDeadline;
    QTimer m_drainTimer;
    bool m_masterClosed = false;

    QByteArray m_frame;  // bytes from the tool since the last FD
    enum class State { Idle, Reading, Writing, Silent } m_state = State::Idle;
    QList<QByteArray> m_framesFromTool;
    QList<RadioRecord> m_written;
    int m_recordsSent = 0;
    int m_recordsReceived = 0;
    int m_badRecordsReceived = 0;
    int m_readsFinished = 0;
    int m_writesFinished = 0;
    std::optional<quint8> m_lastResultFromTool;
};
