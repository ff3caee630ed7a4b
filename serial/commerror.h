#pragma once
// What the serial control answers a refused change with, and the codes of its event.

#include <QString>

struct CommError {
    int number = 0;  // 0: no error
    QString description;
    bool failed() const { return number != 0; }
};

// Numbers of the errors the control refuses a change with. They are stable: messages quote
// them, and users quote messages. A new failure gets a new number.
namespace CommErrorNumber {
inline constexpr int InvalidPropertyValue = 101;  // a set-up property out of its range
inline constexpr int InvalidPortNumber = 102;     // CommPort outside 1..kLargestPortNumber
inline constexpr int PortAlreadyOpen = 103;       // CommPort changed while the port is open
inline constexpr int PortNotOpen = 104;           // Output while the port is closed
inline constexpr int BadSettings = 105;           // Settings not "speed,parity,data,stop"
inline constexpr int UnsupportedSpeed = 106;      // a speed not in supportedSpeeds()
inline constexpr int OpenFailed = 107;            // the system refused the open; its reason follows
inline constexpr int PortInUse = 108;             // another opener holds the device or its lock
inline constexpr int DeviceRefusedSettings = 109;  // the open device refused the line settings
inline constexpr int CloseFailed = 110;
inline constexpr int WriteFailed = 111;
inline constexpr int ConnectFailed = 112;  // the host refused, was not found or did not answer
inline constexpr int ServerSilent = 113;   // the server did not answer the line control in time
inline constexpr int ServerRefusedSettings =
    114;                                    // the server answered a line setting with another
inline constexpr int BadAddress = 115;      // a remote cable's address is not SCHEME://HOST:PORT
inline constexpr int ConnectionLost = 116;  // the server hung up while a line setting waited
inline constexpr int Interrupted = 117;     // the port closed or the program ended while an open or
                                            // a line setting waited
}  // namespace CommErrorNumber

// Codes of the communication event.
namespace CommEventCode {
inline constexpr int Send = 1;
inline constexpr int Receive = 2;
inline constexpr int CtsChanged = 3;
inline constexpr int DsrChanged = 4;
inline constexpr int CdChanged = 5;
inline constexpr int Ring = 6;
inline constexpr int EndOfFile = 7;
inline constexpr int Break = 1001;
inline constexpr int CtsTimeout = 1002;
inline constexpr int DsrTimeout = 1003;
inline constexpr int Framing = 1004;
inline constexpr int Overrun = 1006;
inline constexpr int CdTimeout = 1007;
inline constexpr int ReceiveOverflow = 1008;
inline constexpr int Parity = 1009;
inline constexpr int TransmitFull = 1010;
inline constexpr int DcbError = 1011;
}  // namespace CommEventCode
