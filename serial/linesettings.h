#pragma once
// Line settings: the control's "speed,parity,databits,stopbits" text and what it means, the
// speeds the whole program offers, and the largest port number.

#include "serial/commerror.h"

#include <QList>
#include <QString>

#include <optional>

// Port numbers run from 1 to this, the largest 16-bit number.
inline constexpr int kLargestPortNumber = 32767;

struct LineSettings {
    enum class Parity { None, Even, Odd, Mark, Space };
    enum class StopBits { One, OneAndHalf, Two };
    int speed = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;
    bool operator==(const LineSettings &) const = default;
};

// The settings the text stands for, e.g. "9600,n,8,1"; nullopt with error set (BadSettings or
// UnsupportedSpeed) when the text is malformed or names a speed not supported.
std::optional<LineSettings> parseLineSettings(const QString &text, CommError *error);

// Every speed the control accepts, ascending: 110 to 230400.
const QList<int> &supportedSpeeds();
// The first kListedSpeeds of them, 110 to 14400, are the window's speed list.
inline constexpr int kListedSpeeds = 8;
