#include "serial/portnamespace.h"

#include "serial/linesettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>
#include <chrono>

#include <cerrno>
#include <cstring>

#ifndef Q_OS_WIN
#include <dirent.h>
#include <sys/stat.h>
#endif

namespace {

using namespace std::chrono_literals;

constexpr int kListedPorts = 16;
constexpr auto kListingLifetime = 500ms;

// "COM" and a decimal number without leading zeros; 0 when the name is not of that form.
int portNumberOf(const QString &portName)
{
    static const QRegularExpression pattern(QStringLiteral("^COM([1-9][0-9]{0,4})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(portName);
    const int number = match.hasMatch() ? match.captured(1).toInt() : 0;
    return number <= kLargestPortNumber ? number : 0;
}

// Splits a path into its text and trailing number so /dev/ttyS2 comes before /dev/ttyS10.
bool comesBefore(const QString &a, const QString &b)
{
    auto split = [](const QString &path) {
        qsizetype digits = path.size();
        while (digits > 0 && path.at(digits - 1).isDigit())
            --digits;
        return std::pair{path.left(digits), path.mid(digits).toLongLong()};
    };
    const auto [stemA, numberA] = split(a);
    const auto [stemB, numberB] = split(b);
    if (stemA != stemB)
        return stemA < stemB;
    if (numberA != numberB)
        return numberA < numberB;
    return a < b;
}

QHash<int, QString> &pinnedPorts()
{
    static QHash<int, QString> pinned;
    return pinned;
}

// The folder that pins port names to devices, if the environment names one. Once named it is
// the whole namespace: a missing folder gives no ports rather than the machine's own.
QString portFolder()
{
    return qEnvironmentVariable("REPLIX_PORT_DIR");
}

QString systemPortPath(int portNumber)
{
#ifdef Q_OS_WIN
    // The system's own COMn; QSerialPort opens it by that name.
    return QStringLiteral("COM%1").arg(portNumber);
#else
    if (portNumber > kListedPorts)
        return {};
    // Listing the system's devices costs about 10 ms, and filling the port list asks for
    // every number twice; one listing serves all questions asked within a moment.
    static QStringList paths;
    static QElapsedTimer listedAt;
    if (!listedAt.isValid()
        || listedAt.elapsed() > std::chrono::milliseconds(kListingLifetime).count()) {
        paths.clear();
        const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : ports)
            paths << info.systemLocation();
        paths = inPortOrder(paths);
        listedAt.start();
    }
    return portNumber <= paths.size() ? paths.at(portNumber - 1) : QString();
#endif
}

bool isFullDevicePath(const QString &name)
{
#ifdef Q_OS_WIN
    return name.startsWith(QLatin1String("\\\\.\\"));
#else
    return name.startsWith(QLatin1Char('/'));
#endif
}

}  // namespace

QStringList inPortOrder(QStringList devicePaths)
{
    std::sort(devicePaths.begin(), devicePaths.end(), comesBefore);
    return devicePaths;
}

bool isRemoteCableName(const QString &name)
{
    return name.startsWith(QLatin1String("rfc2217://"), Qt::CaseInsensitive)
           || name.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive);
}

QString resolvePortName(const QString &portName)
{
    if (isFullDevicePath(portName) || isRemoteCableName(portName))
        return portName;
    const int portNumber = portNumberOf(portName);
    if (portNumber == 0)
        return {};
    if (const auto pinned = pinnedPorts().constFind(portNumber); pinned != pinnedPorts().cend())
        return *pinned;
    const QString folder = portFolder();
    if (folder.isEmpty())
        return systemPortPath(portNumber);
    const QFileInfo entry(QDir(folder).filePath(QStringLiteral("COM%1").arg(portNumber)));
    if (!entry.exists() && !entry.isSymLink())
        return {};
    if (entry.isFile() && !entry.isSymLink()) {
        QFile file(entry.filePath());
        QString line = file.open(QIODevice::ReadOnly)
                           ? QString::fromUtf8(file.readLine(1024)).trimmed()
                           : QString();
        if (isRemoteCableName(line))
            return line;
    }
    // The device the entry stands for; a dangling link stays as it is, and does not exist.
    const QString device = entry.canonicalFilePath();
    return device.isEmpty() ? entry.filePath() : device;
}

QString portFolderFault()
{
    const QString folder = portFolder();
    if (folder.isEmpty())
        return {};
#ifdef Q_OS_WIN
    return QFileInfo(folder).isDir() ? QString()
                                     : folder + QStringLiteral(": No such file or directory");
#else
    DIR *listing = ::opendir(QFile::encodeName(folder).constData());
    if (!listing)
        return folder + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    ::closedir(listing);
    return {};
#endif
}

void pinPortNames(const QHash<int, QString> &devicesByNumber)
{
    pinnedPorts() = devicesByNumber;
}

QString portNameOf(int portNumber)
{
    return QStringLiteral("COM%1").arg(portNumber);
}

bool deviceExists(const QString &devicePath)
{
    if (devicePath.isEmpty())
        return false;
    if (isRemoteCableName(devicePath))
        return true;
#ifdef Q_OS_WIN
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    return std::any_of(ports.begin(), ports.end(), [&](const QSerialPortInfo &info) {
        return info.portName().compare(devicePath, Qt::CaseInsensitive) == 0;
    });
#else
    // A character device (a serial port, a USB cable, a pseudo-terminal), whoever may open it.
    struct stat status {};
    return ::stat(QFile::encodeName(devicePath).constData(), &status) == 0
           && S_ISCHR(status.st_mode);
#endif
}
