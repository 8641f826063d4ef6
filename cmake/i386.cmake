# The till's target: 32-bit x86 Linux, built on a 64-bit Debian 12 with the
# multilib compiler and the i386 packages beside the 64-bit ones.
# glibc's 64-bit time_t keeps dates past January 2038 right on the till.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(RAVO_M32_FLAGS "-m32 -march=i686 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_C_FLAGS_INIT "${RAVO_M32_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${RAVO_M32_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
