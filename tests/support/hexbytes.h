#pragma once
// Bytes written by hand as spaced hex ("FE FE EE EF E0"), independent of the code under test.

#include <QByteArray>
#include <QList>

inline QByteArray bytes(const char *spacedHex)
{
    QByteArray out;
    for (const QByteArray &pair : QByteArray(spacedHex).split(' '))
        if (!pair.isEmpty())
            out.append(char(pair.toUInt(nullptr, 16)));
    return out;
}
