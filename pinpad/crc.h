// pinpad/crc.h
// Checksums of the PIN-pad subsystem: the link's frame check (CRC-16/UMTS)
// and the file and block check (CRC-32 of ISO-HDLC with chaining).
#pragma once
#include <cstdint>

// Files longer than this are not checksummed.
enum : int32_t { CRC_MAX_FILE_LENGTH = 50000000 };

// CRC-16, polynomial 0x8005, MSB first, augmented form; init 0 gives CRC-16/UMTS.
uint16_t CRC_CalcCRC16(const uint8_t* data, uint32_t len, uint16_t init);
// CRC-32 (reflected 0xEDB88320); prev is the CRC of the data before (0 starts anew).
uint32_t CRC_CalcCRC32(const uint8_t* data, uint32_t len, uint32_t prev);
// CRC-32 of a whole file into crc (0 on failure); RES_OK, RES_KWRM_FILE_OPEN, RES_KWRM_FILE_IO or
// RES_KWRM_FILE_LENGTH.
int CRC_GetFileCRC(const char* path, uint32_t* crc);
