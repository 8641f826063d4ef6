// emulators/pinpad/padlink.h
// The pad's side of the link over a pseudo-terminal: link test echo, key
// agreement, request frames in, reply frames out, with injected faults.
#pragma once
#include <string>

#include "emulators/pinpad/padstate.h"

// Opens a pseudo-terminal; returns the master descriptor (or -1) and the slave path.
int PadLink_OpenPty(std::string* slavePath);
// Serves the link on the master descriptor until stop becomes non-zero.
void PadLink_Serve(SPadState* st, int master, volatile int* stop);
