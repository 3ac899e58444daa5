// Whether a channel's port is still there: a port whose device went away
// (an adapter pulled out, a device server's connection lost) is marked gone
// once, logged once, and not used again until a port is opened in its place.
// Line errors that a later call clears never mark it.
#pragma once

struct ChannelBlock;

// 1 when the block's port was found gone and no port was opened since.
int PortGone(const ChannelBlock* block);
// After port calls on the block's port by this thread: marks the port gone
// when one of them found its device gone, with the port's name and the
// system error in the log the first time. Returns PortGone(block).
int NotePortGone(ChannelBlock* block);
// A port was opened in the block's place: it is not gone.
void ForgetPortGone(ChannelBlock* block);
