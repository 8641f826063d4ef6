// fuzz/fuzz_ini.cpp
// DATA/CONFIG.INI and DATA/DEVICE.INI as the configuration loader reads them
// (and checks a candidate file), then one parameter written back into
// DEVICE.INI as the pad layer does after a speed change. The input is CONFIG.INI, a line "====", then DEVICE.INI.
#include <string>

#include "fuzz/fuzz_util.h"
#include "support/param.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    std::string all(reinterpret_cast<const char*>(data), size);
    size_t cut = all.find("\n====\n");
    std::string config = cut == std::string::npos ? all : all.substr(0, cut + 1);
    std::string device = cut == std::string::npos ? "" : all.substr(cut + 6);
    Fuzz_WriteFile("DATA/CONFIG.INI", reinterpret_cast<const uint8_t*>(config.data()), config.size());
    if (cut == std::string::npos)
        Fuzz_RemoveFile("DATA/DEVICE.INI");
    else
        Fuzz_WriteFile("DATA/DEVICE.INI", reinterpret_cast<const uint8_t*>(device.data()), device.size());
    // The check of a candidate file reads it as the load does, into records of its own.
    Param_CheckConfigFile("DATA/CONFIG.INI");
    if (Param_LoadConfig() == 0) Param_WriteConfigParam("DEVICE.INI", "BAUDRATE", "19200");
    return 0;
}
