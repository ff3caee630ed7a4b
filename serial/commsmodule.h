#pragma once
// PROVISIONAL: replaced by the serial subsystem's own header when it lands.
#include <QString>
class QComboBox;
class SerialControl;
void InitCommsControl(SerialControl &control);
bool PortExists(int portNumber);
bool PortIsFree(int portNumber);
bool ChangePort(const QString &portText, SerialControl &control);
bool ChangeBaudRate(const QString &speedText, SerialControl &control);
bool OpenPort(SerialControl &control);
bool ClosePort(SerialControl &control);
void FillSpeedList(QComboBox *list);
void FillPortList(QComboBox *list);
