// emulators/pinpad/main.cpp
// pinpad_emu: a PIN pad on a pseudo-terminal, scripted by a scenario file.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "emulators/pinpad/padcommands.h"
#include "emulators/pinpad/padlink.h"
#include "emulators/pinpad/padstate.h"

static volatile int g_stop = 0;

static void aux_OnSignal(int) { g_stop = 1; }

static int aux_Usage() {
    fprintf(stderr, "usage: pinpad_emu -s SCENARIO -p PTYPATHFILE [-t TRACEFILE] [-d CARDDATAFILE]\n");
    return 2;
}

// Tests look for these in what the terminal keeps; the file is theirs, never
// the payment directory's.
static bool aux_WriteCardData(const char* path, const SPadScenario& scen) {
    std::string pan, track2;
    std::vector<uint8_t> pinBlock;
    PadCmd_CardData(scen, &pan, &track2, &pinBlock);
    FILE* f = fopen(path, "w");
    if (f == nullptr) return false;
    fprintf(f, "pan=%s\ntrack2=%s\npinblock=", pan.c_str(), track2.c_str());
    for (uint8_t b : pinBlock) fprintf(f, "%02X", b);
    fputc('\n', f);
    return fclose(f) == 0;
}

int main(int argc, char** argv) {
    const char* scenario = nullptr;
    const char* ptyFile = nullptr;
    const char* traceFile = nullptr;
    const char* cardDataFile = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "-s")) scenario = argv[i + 1];
        else if (!strcmp(argv[i], "-p")) ptyFile = argv[i + 1];
        else if (!strcmp(argv[i], "-t")) traceFile = argv[i + 1];
        else if (!strcmp(argv[i], "-d")) cardDataFile = argv[i + 1];
        else return aux_Usage();
    }
    if (ptyFile == nullptr || argc % 2 == 0) return aux_Usage();

    SPadState st;
    std::string err;
    if (scenario && !PadScen_Load(scenario, &st.scen, &err)) {
        fprintf(stderr, "pinpad_emu: %s\n", err.c_str());
        return 2;
    }
    PadState_Init(&st);
    if (traceFile && (st.trace = fopen(traceFile, "a")) == nullptr) {
        fprintf(stderr, "pinpad_emu: cannot open trace %s\n", traceFile);
        return 2;
    }
    if (cardDataFile && !aux_WriteCardData(cardDataFile, st.scen)) {
        fprintf(stderr, "pinpad_emu: cannot write %s\n", cardDataFile);
        return 2;
    }
    std::string path;
    int master = PadLink_OpenPty(&path);
    if (master < 0) {
        perror("pinpad_emu: pseudo-terminal");
        return 1;
    }
    // The path file appears whole (renamed into place) once the pad listens.
    std::string tmp = std::string(ptyFile) + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (f == nullptr || fprintf(f, "%s\n", path.c_str()) < 0 || fclose(f) != 0 || rename(tmp.c_str(), ptyFile) != 0) {
        perror("pinpad_emu: path file");
        return 1;
    }
    printf("%s\n", path.c_str());
    fflush(stdout);

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = aux_OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    PadLink_Serve(&st, master, &g_stop);
    if (st.trace) fclose(st.trace);
    return 0;
}
