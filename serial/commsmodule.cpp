#include "serial/commsmodule.h"

#include "app/misc.h"
#include "serial/portnamespace.h"
#include "serial/serialcontrol.h"

#include <QHash>
#include <QLocale>

#include <cmath>
#include <optional>

namespace {

const QString kLineBreak = QStringLiteral("\r\n");

// Only spaces, as the user's list text may carry them; other white space is part of the text.
QString trimSpaces(const QString &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' '))
        ++first;
    while (last > first && text.at(last - 1) == QLatin1Char(' '))
        --last;
    return text.mid(first, last - first);
}

// " 123  description", the minus sign of a negative number taking the place of the space.
QString errorPart(const CommError &error)
{
    return (error.number < 0 ? QString() : QStringLiteral(" ")) + QString::number(error.number)
           + QStringLiteral("  ") + error.description;
}

std::optional<double> readNumber(const QString &text)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// A 16-bit port number, rounded half to even; a value out of range gives 0, a port that
// never exists.
int toPortNumber(double value)
{
    const double rounded = std::nearbyint(value);
    return (rounded < -32768.0 || rounded > 32767.0) ? 0 : int(rounded);
}

}  // namespace

void InitCommsControl(SerialControl &control)
{
    control.setHandshaking(0);
    control.setInputMode(0);
    control.setSettings(QStringLiteral("9600,n,8,1"));
    control.setParityReplace(QStringLiteral("?"));
    control.setDTREnable(true);
    control.setNullDiscard(false);
    control.setRTSEnable(true);
    control.setEOFEnable(false);
    control.setInBufferSize(1024);
    control.setInputLen(0);
    control.setOutBufferSize(512);
    control.setRThreshold(1);
    control.setSThreshold(1);
}

bool PortExists(int portNumber)
{
    return deviceExists(resolvePortName(portNameOf(portNumber)));
}

bool PortIsFree(int portNumber)
{
    const QString path = resolvePortName(portNameOf(portNumber));
    return !path.isEmpty() && !SerialControl::probeDevice(path).failed();
}

bool ChangePort(const QString &portText, SerialControl &control)
{
    const int current = control.CommPort();
    const QString text = trimSpaces(portText);
    const std::optional<double> number = readNumber(text);
    if (!number || *number == current)
        return true;

    const int portNumber = toPortNumber(*number);
    const QString prefix = QStringLiteral("Unable to change to port COM") + text + QLatin1Char(':')
                           + kLineBreak + kLineBreak;
    if (!PortExists(portNumber)) {
        ShowMessage(prefix + QStringLiteral("Port does not exist"));
        return false;
    }
    if (!PortIsFree(portNumber)) {
        ShowMessage(prefix + QStringLiteral("Port is in use"));
        return false;
    }
    const CommError error = control.setCommPort(portNumber);
    if (error.failed()) {
        ShowMessage(prefix + errorPart(error));
        return false;
    }
    return true;
}

QString replaceSpeedField(const QString &settings, const QString &speed)
{
    const qsizetype comma = settings.indexOf(QLatin1Char(','));
    return speed + QLatin1Char(',') + (comma < 0 ? settings : settings.mid(comma + 1));
}

bool ChangeBaudRate(const QString &speedText, SerialControl &control)
{
    const QString settings = replaceSpeedField(control.Settings(), trimSpaces(speedText));
    const CommError error = control.setSettings(settings);
    if (!error.failed())
        return true;
    ShowMessage(QStringLiteral("Unable to change baud rate for port ") + kLineBreak + kLineBreak
                + errorPart(error));
    return false;
}

bool OpenPort(SerialControl &control)
{
    if (!control.PortOpen()) {
        const CommError error = control.setPortOpen(true);
        if (error.failed())
            ShowMessage(QStringLiteral("Unable to open port ") + kLineBreak + kLineBreak
                        + errorPart(error));
    }
    return control.PortOpen();
}

bool ClosePort(SerialControl &control)
{
    if (control.PortOpen()) {
        const CommError error = control.setPortOpen(false);
        if (error.failed())
            ShowMessage(QStringLiteral("Unable to close port ") + kLineBreak + kLineBreak
                        + errorPart(error));
    }
    return !control.PortOpen();
}
