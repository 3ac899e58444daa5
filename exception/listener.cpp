// Placeholder until this module is written.
#include "exception/listener.h"

void ListenerThread(void*) {}
void HandleUnsolicitedFrame(ChannelBlock*) {}
void HandleExceptionNotice(GateRequest*, uint8_t) {}
void SendResetLinkReply(GateRequest*) {}
