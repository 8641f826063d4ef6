// padfeed/padfeed.cpp
// PADFEED: run in the terminal's working directory, uploads the files named
// by its switches to the PIN pad. The exit status is always 0; the outcome is
// in the printed lines and the log.
#include "padfeed/padfeed_run.h"

int main(int argc, char** argv) {
    PadFeed_Run(argc - 1, argv + 1);
    return 0;
}
