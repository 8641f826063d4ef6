// pinpad/comport.h
// The one serial line of the PIN pad: raw 8-N-1 at the configured speed,
// timed reads and whole-buffer writes. Knows nothing of frames.
#pragma once
#include <cstddef>
#include <cstdint>

// Sets the port state to closed.
void ComPort_Init();
// Same as ComPort_Close.
int ComPort_DeInit();
// Opens g_ComConfig.szComDevice, or /dev/ttyS<COMPORT-1> when it is empty, dropping any input
// already waiting; 0 or -1.
int ComPort_Open();
// Writes into out the device path that ComPort_Open opens for the settings in force.
void ComPort_GetDevicePath(char* out, size_t size);
// The last ComPort_Open in words: why it failed ("No such file or directory", or the
// setting it refused before trying the device), or, when it opened, that the
// device is no serial line; "" after a clean open.
const char* ComPort_GetOpenError();
// Closes the port if open; always 0.
int ComPort_Close();
// Reads up to wanted bytes within timeoutMs; the count read (0..wanted) or -1.
int32_t ComPort_ReadBuffer(uint8_t* buffer, int32_t wanted, uint32_t timeoutMs);
// Writes the whole buffer; the length asked for, or -1 when the port is closed.
int32_t ComPort_WriteBuffer(const uint8_t* buffer, int32_t length, uint32_t timeoutMs);
// Does nothing (kept for the callers of the original interface).
void ComPort_CleanBuffer();
// Returns 1 when the port is open.
int ComPort_IsOpen();
