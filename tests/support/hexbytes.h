#pragma once
// Bytes written by hand as spaced hex ("FE FE EE EF E0"), independent of the code under test.

#include <QByteArray>

inline QByteArray bytes(const char *spacedHex)
{
    return QByteArray::fromHex(spacedHex);
}
