#pragma once
// The conversation-log note for a line or error event of the serial control.

#include <QString>

// The note for event code; empty for the send and receive events, which log nothing here.
QString commEventMessage(int code);
