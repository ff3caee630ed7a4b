#pragma once
// How the port names COM1 to COM16 map to serial devices. All platform rules live here.

#include <QString>

// The device path that the port name stands for ("COM3", or a full device path, which stands
// for itself); empty when the name stands for no device.
QString resolvePortName(const QString &portName);

// The name of port number n: "COM" + n.
QString portNameOf(int portNumber);

// True when the system knows the device (here: a character device), without opening it.
bool deviceExists(const QString &devicePath);
