#pragma once
// Telnet as a remote cable speaks it: the byte stream split into data runs, commands, option
// negotiations and subnegotiations, and the way back with every 0xFF doubled. Pure: no socket.

#include <QByteArray>

#include <initializer_list>
#include <optional>

namespace Telnet {
inline constexpr quint8 kSE = 240;
inline constexpr quint8 kSB = 250;
inline constexpr quint8 kWill = 251;
inline constexpr quint8 kWont = 252;
inline constexpr quint8 kDo = 253;
inline constexpr quint8 kDont = 254;
inline constexpr quint8 kIAC = 255;
inline constexpr quint8 kBinary = 0;
inline constexpr quint8 kComPort = 44;
// A subnegotiation longer than this is no server's answer: it is dropped whole.
inline constexpr int kLongestSubnegotiation = 256;

// The bytes given, in order.
inline QByteArray bytesOf(std::initializer_list<char> bytes)
{
    return QByteArray(bytes.begin(), qsizetype(bytes.size()));
}
}  // namespace Telnet

struct TelnetItem {
    enum class Kind { Data, Command, Negotiation, Subnegotiation };
    Kind kind = Kind::Data;
    quint8 verb = 0;    // Command: the byte after IAC; Negotiation: WILL, WONT, DO or DONT
    quint8 option = 0;  // Negotiation and Subnegotiation
    QByteArray bytes;   // Data: the bytes; Subnegotiation: what follows the option, undoubled
};

class TelnetDecoder {
public:
    void append(const QByteArray &bytes) { m_buffer += bytes; }
    // The next whole item, or nullopt until more bytes arrive. Data runs end where a command
    // begins; an item split across appends is handed out whole once it is complete.
    std::optional<TelnetItem> next();

private:
    QByteArray m_buffer;
    qsizetype m_position = 0;
    bool m_discarding = false;  // inside an overlong subnegotiation, until its IAC SE
};

// Data with each 0xFF doubled.
QByteArray telnetData(const QByteArray &data);
// IAC verb option.
QByteArray telnetNegotiation(quint8 verb, quint8 option);
// IAC SB option payload IAC SE, 0xFF doubled in the payload.
QByteArray telnetSubnegotiation(quint8 option, const QByteArray &payload);
