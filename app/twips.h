#pragma once
// Window geometry is laid out in twips (1/1440 inch); this turns it into pixels at the
// screen's logical DPI.

#include <QRect>
#include <QtMath>

inline constexpr int kTwipsPerInch = 1440;

class Twips {
public:
    Twips(qreal logicalDpiX, qreal logicalDpiY) : m_dpiX(logicalDpiX), m_dpiY(logicalDpiY) {}
    int x(int twips) const { return qRound(twips * m_dpiX / kTwipsPerInch); }
    int y(int twips) const { return qRound(twips * m_dpiY / kTwipsPerInch); }
    QRect rect(int left, int top, int width, int height) const
    {
        return QRect(x(left), y(top), x(width), y(height));
    }

private:
    qreal m_dpiX;
    qreal m_dpiY;
};
