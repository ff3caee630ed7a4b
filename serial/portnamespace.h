#pragma once
// How the port names COM1 to COM16 map to serial devices. All platform rules live here.

#include <QHash>
#include <QString>
#include <QStringList>

// The device path that the port name stands for ("COM3", or a full device path or a remote
// cable's address, which stand for themselves); empty when the name stands for no device.
// In a port folder, COMn may be a link to a device or a plain file whose one line is the
// address of a remote cable.
QString resolvePortName(const QString &portName);

// The system's serial devices in the order their port numbers follow: by the name's text,
// then by its trailing number as a number (/dev/ttyS2 before /dev/ttyS10).
QStringList inPortOrder(QStringList devicePaths);

// When REPLIX_PORT_DIR names a folder, that folder is the whole namespace. Why it cannot serve
// ("/path: No such file or directory", "/path: Permission denied"); empty when it can, or
// when the variable is not set and the system's own ports are numbered.
QString portFolderFault();

// From now on port name "COM" + n stands for the device the table gives for n, whatever the
// system lists later; numbers not in the table resolve as before. Replaces any earlier table.
// Filling the port list pins every number it shows, so a number keeps meaning the device its
// tooltip named even when another adapter is plugged in meanwhile.
void pinPortNames(const QHash<int, QString> &devicesByNumber);

// The name of port number n: "COM" + n.
QString portNameOf(int portNumber);

// True when the system knows the device (here: a character device), without opening it; a
// remote cable's address is taken as it stands (the open tells whether it answers).
bool deviceExists(const QString &devicePath);

// True for a remote cable's address: rfc2217://... or tcp://...
bool isRemoteCableName(const QString &name);
