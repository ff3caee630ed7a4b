#pragma once
// The serial port manager: the one-time set-up of the serial control, the port and speed lists,
// and the four state changes a transfer needs. It keeps no state; every routine works on the
// control or list it is given. Routines that can fail for the user show their own message and
// return false, so callers only have to stop.

#include <QString>

class QComboBox;
class SerialControl;

// Applies the start-up configuration, each property on its own; refusals are skipped silently.
void InitCommsControl(SerialControl &control);

// True when the system knows port "COM" + n, found without opening it.
bool PortExists(int portNumber);
// True when port "COM" + n could be opened at this moment (opened and closed again at once,
// under the same locks as a real open).
bool PortIsFree(int portNumber);

// Makes the control use the port in text (trimmed); true at once when it names the current
// port or no number at all. Shows a message and returns false when the port is missing, held
// or refused.
bool ChangePort(const QString &portText, SerialControl &control);
// Puts the trimmed speed text in place of the first field of the control's settings; shows a
// message and returns false, leaving the settings as they were, when the control refuses.
bool ChangeBaudRate(const QString &speedText, SerialControl &control);
// True when the port is open afterwards; an open port stays open, without a message.
bool OpenPort(SerialControl &control);
// True when the port is closed afterwards; a closed port stays closed, without a message.
bool ClosePort(SerialControl &control);

// Appends the eight speeds, 110 to 14400, and selects 9600.
void FillSpeedList(QComboBox *list);
// Appends every port number 1 to 16 that exists and is free, each with its device path as the
// tooltip, and selects the first; with none, tells the user and leaves the list empty. The
// numbers listed are pinned to those devices until the next fill (see pinPortNames).
void FillPortList(QComboBox *list);

// The settings with their first field (everything before the first comma, or all of them when
// there is no comma) replaced by speed: the rewrite ChangeBaudRate makes.
QString replaceSpeedField(const QString &settings, const QString &speed);
