// emulators/pinpad/padstate.cpp
#include "emulators/pinpad/padstate.h"

#include <cstdarg>

void PadTrace_Line(SPadState* st, const char* format, ...) {
    if (st->trace == nullptr) return;
    va_list args;
    va_start(args, format);
    vfprintf(st->trace, format, args);
    va_end(args);
    fputc('\n', st->trace);
    fflush(st->trace);
}

void PadState_Init(SPadState* st) {
    for (const SPadKey& k : st->scen.keys)
        st->keys[static_cast<uint16_t>((k.type << 8) | k.index)] = std::vector<uint8_t>(k.kcv, k.kcv + 3);
    for (const SPadFile& f : st->scen.files) st->files[f.name] = f.data;
    st->updateFlags = st->scen.updateFlags;
}
