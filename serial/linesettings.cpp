#include "serial/linesettings.h"

#include <QStringList>

const QList<int> &supportedSpeeds()
{
    static const QList<int> speeds{110,   300,   600,   1200,  2400,   4800,  9600,
                                   14400, 19200, 38400, 57600, 115200, 230400};
    return speeds;
}

std::optional<LineSettings> parseLineSettings(const QString &text, CommError *error)
{
    const QStringList fields = text.split(QLatin1Char(','));
    const auto malformed = [&] {  // the message is made only when it is needed
        *error = {CommErrorNumber::BadSettings,
                  QStringLiteral("Invalid line settings \"%1\"").arg(text)};
        return std::nullopt;
    };
    if (fields.size() != 4)
        return malformed();

    LineSettings line;
    const QString speed = fields[0].trimmed();
    bool numeric = !speed.isEmpty();
    for (QChar c : speed)
        numeric = numeric && c.isDigit() && c.unicode() < 128;
    if (!numeric)
        return malformed();
    line.speed = speed.size() > 9 ? -1 : speed.toInt();

    using P = LineSettings::Parity;
    const QString parity = fields[1].trimmed().toLower();
    if (parity == QLatin1String("n"))
        line.parity = P::None;
    else if (parity == QLatin1String("e"))
        line.parity = P::Even;
    else if (parity == QLatin1String("o"))
        line.parity = P::Odd;
    else if (parity == QLatin1String("m"))
        line.parity = P::Mark;
    else if (parity == QLatin1String("s"))
        line.parity = P::Space;
    else
        return malformed();

    const QString data = fields[2].trimmed();
    if (data.size() != 1 || data.at(0) < QLatin1Char('5') || data.at(0) > QLatin1Char('8'))
        return malformed();
    line.dataBits = data.toInt();

    const QString stop = fields[3].trimmed();
    if (stop == QLatin1String("1"))
        line.stopBits = LineSettings::StopBits::One;
    else if (stop == QLatin1String("1.5"))
        line.stopBits = LineSettings::StopBits::OneAndHalf;
    else if (stop == QLatin1String("2"))
        line.stopBits = LineSettings::StopBits::Two;
    else
        return malformed();

    if (!supportedSpeeds().contains(line.speed)) {
        *error = {CommErrorNumber::UnsupportedSpeed,
                  QStringLiteral("Unsupported speed %1").arg(speed)};
        return std::nullopt;
    }
    *error = {};
    return line;
}
