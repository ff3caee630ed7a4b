#pragma once
// Frames on the wire: FE FE, the radio's address EE, the tool's address EF, one command byte,
// the command's data and the end byte FD. No length field and no escaping.

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

namespace Cmd {
inline constexpr quint8 IdentifyRequest = 0xE0;
inline constexpr quint8 IdentifyReply = 0xE1;
inline constexpr quint8 ReadRequest = 0xE2;
inline constexpr quint8 WriteRequest = 0xE3;
inline constexpr quint8 DataRecord = 0xE4;
inline constexpr quint8 EndOfData = 0xE5;
inline constexpr quint8 TransferResult = 0xE6;
}  // namespace Cmd

inline constexpr char kFrameEnd = char(0xFD);
inline constexpr int kMinFrameLength = 6;

// The frame the tool sends: FE FE EE EF, the command, the data unchanged, FD.
QByteArray buildFrame(quint8 bCommand, QByteArrayView sData);
// The command byte of a received frame (its fifth byte); frames are at least 6 bytes.
quint8 frameCommand(QByteArrayView frame);
// The data of a received frame: from the sixth byte up to, not including, the last.
QByteArray frameData(QByteArrayView frame);

// Collects received bytes into frames. Everything since the previous FD, less leading and
// trailing spaces, is a frame; no preamble search, no address check. Leading spaces are never
// stored, so they do not count toward kCapacity.
class FrameCollector {
public:
    // A device that never sends FD must not grow the buffer without bound. A 255-byte record
    // is about 530 bytes on the wire; this is far above it.
    static constexpr qsizetype kCapacity = 4096;

    enum class Kind {
        Frame,     // a frame of at least 6 bytes, to dispatch
        Short,     // fewer than 6 bytes before FD: logged, not dispatched
        Overflow,  // kCapacity bytes without FD: discarded, logged like a short frame
    };
    struct Item {
        Kind kind;
        QByteArray bytes;
    };

    // Takes bytes from the front of input up to and including the first FD, or all of them
    // when there is none; moves input past what was taken. Gives an item when the bytes taken
    // finish a frame or overflow the buffer, nothing otherwise.
    std::optional<Item> take(QByteArrayView &input);

    // The partial frame held between receive events.
    const QByteArray &pending() const { return m_buffer; }
    void clear() { m_buffer.clear(); }

private:
    QByteArray m_buffer;
};
