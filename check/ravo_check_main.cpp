// check/ravo_check_main.cpp
// ravo-check: run in the payment directory, checks it the way a call would
// find it and prints one line per item; the exit status is 0 only when
// nothing failed.
#include "check/ravocheck.h"

int main(int argc, char** argv) { return RavoCheck_Main(argc - 1, argv + 1); }
