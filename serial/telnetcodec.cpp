#include "serial/telnetcodec.h"

using namespace Telnet;

namespace {

quint8 at(const QByteArray &bytes, qsizetype i)
{
    return quint8(bytes.at(i));
}

}  // namespace

std::optional<TelnetItem> TelnetDecoder::next()
{
    for (;;) {
        // Consumed bytes are dropped once there are enough of them to be worth the move.
        if (m_position > 0 && (m_position >= m_buffer.size() || m_position > 4096)) {
            m_buffer.remove(0, m_position);
            m_position = 0;
        }
        const qsizetype size = m_buffer.size();
        qsizetype i = m_position;
        while (m_discarding && i < size) {  // the rest of an overlong subnegotiation
            if (at(m_buffer, i) != kIAC) {
                ++i;
            } else if (i + 1 >= size) {
                break;
            } else {
                const quint8 after = at(m_buffer, i + 1);
                m_discarding = after == kIAC;
                i += after == kIAC || after == kSE ? 2 : 0;
            }
        }
        m_position = i;
        if (m_discarding || i >= size)
            return std::nullopt;

        if (at(m_buffer, i) != kIAC || (i + 1 < size && at(m_buffer, i + 1) == kIAC)) {
            // A data run: plain bytes and doubled IACs, up to the next command.
            TelnetItem item;
            while (i < size) {
                if (at(m_buffer, i) != kIAC) {
                    const qsizetype end = m_buffer.indexOf(char(kIAC), i);
                    const qsizetype stop = end < 0 ? size : end;
                    item.bytes.append(m_buffer.constData() + i, stop - i);
                    i = stop;
                } else if (i + 1 < size && at(m_buffer, i + 1) == kIAC) {
                    item.bytes.append(char(kIAC));
                    i += 2;
                } else {
                    break;
                }
            }
            m_position = i;
            return item;
        }
        if (i + 1 >= size)
            return std::nullopt;
        const quint8 verb = at(m_buffer, i + 1);
        if (verb >= kWill && verb <= kDont) {
            if (i + 2 >= size)
                return std::nullopt;
            m_position = i + 3;
            return TelnetItem{TelnetItem::Kind::Negotiation, verb, at(m_buffer, i + 2), {}};
        }
        if (verb != kSB) {
            m_position = i + 2;
            return TelnetItem{TelnetItem::Kind::Command, verb, 0, {}};
        }
        // IAC SB option payload IAC SE. An IAC followed by anything but IAC or SE also ends
        // it, and begins the next item.
        if (i + 2 >= size)
            return std::nullopt;
        TelnetItem item{TelnetItem::Kind::Subnegotiation, kSB, at(m_buffer, i + 2), {}};
        qsizetype j = i + 3;
        bool complete = false;
        while (j < size && item.bytes.size() <= kLongestSubnegotiation) {
            const quint8 b = at(m_buffer, j);
            if (b != kIAC) {
                item.bytes.append(char(b));
                ++j;
                continue;
            }
            if (j + 1 >= size)
                break;
            const quint8 after = at(m_buffer, j + 1);
            if (after == kIAC) {
                item.bytes.append(char(kIAC));
                j += 2;
                continue;
            }
            j += after == kSE ? 2 : 0;
            complete = true;
            break;
        }
        if (item.bytes.size() > kLongestSubnegotiation) {
            // No server answers at this length: the subnegotiation is dropped whole.
            m_discarding = true;
            m_position = j;
            continue;
        }
        if (!complete)
            return std::nullopt;
        m_position = j;
        return item;
    }
}

QByteArray telnetData(const QByteArray &data)
{
    if (!data.contains(char(kIAC)))
        return data;
    QByteArray out;
    out.reserve(data.size() + 8);
    for (char c : data) {
        out.append(c);
        if (quint8(c) == kIAC)
            out.append(c);
    }
    return out;
}

QByteArray telnetNegotiation(quint8 verb, quint8 option)
{
    return bytesOf({char(kIAC), char(verb), char(option)});
}

QByteArray telnetSubnegotiation(quint8 option, const QByteArray &payload)
{
    return bytesOf({char(kIAC), char(kSB), char(option)}) + telnetData(payload)
           + bytesOf({char(kIAC), char(kSE)});
}
