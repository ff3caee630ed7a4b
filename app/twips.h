#pragma once
// Window geometry is laid out in twips (1/1440 inch); this turns it into pixels at the
// screen's logical DPI, on a grid that may be enlarged as a whole so that the default font's
// captions fit.

#include <QRect>
#include <QtMath>

inline constexpr int kTwipsPerInch = 1440;

class Twips {
public:
    Twips(qreal logicalDpiX, qreal logicalDpiY, qreal scale = 1.0)
        : m_pixelsX(logicalDpiX * scale / kTwipsPerInch),
          m_pixelsY(logicalDpiY * scale / kTwipsPerInch)
    {}
    int x(int twips) const { return qRound(twips * m_pixelsX); }
    int y(int twips) const { return qRound(twips * m_pixelsY); }
    // Pixels before rounding.
    qreal exactX(int twips) const { return twips * m_pixelsX; }
    qreal exactY(int twips) const { return twips * m_pixelsY; }
    QRect rect(int left, int top, int width, int height) const
    {
        return QRect(x(left), y(top), x(width), y(height));
    }
    QRect rect(const QRect &twips) const
    {
        return rect(twips.x(), twips.y(), twips.width(), twips.height());
    }

private:
    qreal m_pixelsX;
    qreal m_pixelsY;
};
