#include "link/commevents.h"

#include "serial/serialcontrol.h"

QString commEventMessage(int code)
{
    switch (code) {
    case CommEventCode::Send:
    case CommEventCode::Receive: return {};
    case CommEventCode::CtsChanged: return QStringLiteral("Change in CTS Detected");
    case CommEventCode::DsrChanged: return QStringLiteral("Change in DSR Detected");
    case CommEventCode::CdChanged: return QStringLiteral("Change in CD Detected");
    case CommEventCode::Ring: return QStringLiteral("Phone Ring Detected");
    case CommEventCode::EndOfFile: return QStringLiteral("End of File Detected");
    case CommEventCode::Break: return QStringLiteral("Break Received");
    case CommEventCode::CtsTimeout: return QStringLiteral("CTS Timeout");
    case CommEventCode::DsrTimeout: return QStringLiteral("DSR Timeout");
    case CommEventCode::Framing: return QStringLiteral("Framing Error");
    case CommEventCode::Overrun: return QStringLiteral("Overrun Error");
    case CommEventCode::CdTimeout: return QStringLiteral("Carrier Detect Timeout");
    case CommEventCode::ReceiveOverflow: return QStringLiteral("Receive Buffer Overflow");
    case CommEventCode::Parity: return QStringLiteral("Parity Error");
    case CommEventCode::TransmitFull: return QStringLiteral("Transmit Buffer Full");
    case CommEventCode::DcbError: return QStringLiteral("Error Retrieving DCB");
    default: return QStringLiteral("Unknown Error or Event ") + QString::number(code);
    }
}
