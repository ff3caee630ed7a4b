#include "link/framecodec.h"

#include "link/hextext.h"

QByteArray buildFrame(quint8 bCommand, QByteArrayView sData)
{
    // FE FE, the radio's address EE, ours EF, the command, the data, FD: one allocation.
    QByteArray frame;
    frame.reserve(6 + sData.size());
    frame.append("\xFE\xFE\xEE\xEF", 4).append(char(bCommand)).append(sData).append('\xFD');
    return frame;
}

quint8 frameCommand(QByteArrayView frame)
{
    return static_cast<quint8>(frame[4]);
}

QByteArray frameData(QByteArrayView frame)
{
    if (frame.size() <= 6)
        return {};
    return frame.sliced(5, frame.size() - 6).toByteArray();
}

std::optional<FrameCollector::Item> FrameCollector::take(QByteArrayView &input)
{
    // Spaces before a frame are dropped anyway; storing none keeps a long run of them from
    // filling the buffer and spoiling the frame behind them.
    if (m_buffer.isEmpty()) {
        while (!input.isEmpty() && input.front() == ' ')
            input = input.sliced(1);
        if (input.isEmpty())
            return std::nullopt;
    }
    const qsizetype end = input.indexOf(kFrameEnd);
    const qsizetype room = kCapacity - m_buffer.size();
    if (end < 0 || end >= room) {
        const qsizetype n = std::min(input.size(), room);
        m_buffer.append(input.first(n));
        input = input.sliced(n);
        if (m_buffer.size() < kCapacity)
            return std::nullopt;
        Item item{Kind::Overflow, m_buffer};
        m_buffer.clear();
        return item;
    }
    m_buffer.append(input.first(end + 1));
    input = input.sliced(end + 1);
    Item item{Kind::Frame, trimSpaces(m_buffer).toByteArray()};
    m_buffer.resize(0);  // keeps its memory for the next frame
    if (item.bytes.size() < kMinFrameLength)
        item.kind = Kind::Short;
    return item;
}
