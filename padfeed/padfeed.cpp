// padfeed/padfeed.cpp
// PADFEED: run in the terminal's working directory, uploads the files named
// by its switches to the PIN pad. The printed lines and the log tell the
// outcome; the exit status is 0 only when everything asked for was loaded.
#include "padfeed/padfeed_run.h"

int main(int argc, char** argv) {
    int status = PADFEED_EXIT_OK;
    PadFeed_Run(argc - 1, argv + 1, &status);
    return status;
}
