// launcher/ravo_main.cpp
// Ravo: no arguments, no output; the exit code tells how far it got.
#include "launcher/launcher.h"

int main() { return Launcher_Run(); }
