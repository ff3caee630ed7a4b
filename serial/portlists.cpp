// The window's port and speed lists.

#include "app/misc.h"
#include "serial/commsmodule.h"
#include "serial/linesettings.h"
#include "serial/portnamespace.h"

#include <QComboBox>
#include <QHash>

namespace {
constexpr int kFirstListedPort = 1;
constexpr int kLastListedPort = 16;
constexpr int kDefaultSpeedIndex = 6;  // "9600"
}  // namespace

void FillSpeedList(QComboBox *list)
{
    for (int speed : supportedSpeeds().first(kListedSpeeds))
        list->addItem(QString::number(speed));
    list->setCurrentIndex(kDefaultSpeedIndex);
}

void FillPortList(QComboBox *list)
{
    const int before = list->count();
    // The numbers are resolved afresh for this list, then pinned to the devices shown: a
    // device plugged in later must not shift what a listed number opens.
    pinPortNames({});
    QHash<int, QString> shown;
    for (int n = kFirstListedPort; n <= kLastListedPort; ++n) {
        if (!PortExists(n) || !PortIsFree(n))
            continue;
        const QString device = resolvePortName(portNameOf(n));
        shown.insert(n, device);
        list->addItem(QString::number(n));
        list->setItemData(list->count() - 1, device, Qt::ToolTipRole);
    }
    pinPortNames(shown);
    if (list->count() > before)
        list->setCurrentIndex(0);
    else
        ShowMessage(QStringLiteral("Unable to find an unused serial port"));
}
