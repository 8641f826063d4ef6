// pinpad/padprofile_internal.h
// The pad profile's writable side: for the PIN-pad layer's modules as the pad
// answers them, and for the tests that set a profile up.
#pragma once
#include "pinpad/padprofile.h"

// The profile, for writing.
SPadProfile* aux_PadProfile_Edit();
