// pinpad/tlv.h
// S_TLV: a list of BER-TLV objects laid over a caller's buffer (the EMV,
// contactless and file-transfer commands of the PIN pad speak in such lists).
#pragma once
#include <cstdint>

struct S_TLV {
    uint8_t* pucBuffer;     // storage area, not owned
    uint32_t ulUsed;        // bytes holding objects
    uint32_t ulCapacity;    // size of the storage area
    uint32_t ulCurTag;      // tag of the object found last
    uint32_t ulCurLength;   // value length of the object found last
    uint32_t ulCurOffset;   // offset of that object's value in the buffer
};

// Room reserved behind a new object's value for its tag and length bytes.
enum : uint32_t { TLV_HEADER_RESERVE = 8 };

// The store that the PIN-pad commands share, over the request or the reply buffer.
extern S_TLV g_tlv;

// Clears the record and lays it over buffer; 0, or 1 for a null store or buffer or capacity 0.
int TLV_OpenStorage(S_TLV* tlv, uint32_t used, uint32_t capacity, uint8_t* buffer);
// Returns the used size (0 for a null store).
uint32_t TLV_GetSize(const S_TLV* tlv);
// Appends tag, length and value (value may be null); 0, or 1 when it does not fit or the tag is 0.
int TLV_AddObject(S_TLV* tlv, uint32_t tag, uint32_t length, const void* value);
// Finds the first object with tag and makes it current; 0 found, 1 otherwise.
int TLV_GetObject(S_TLV* tlv, uint32_t tag);
// Returns the value length of the current object.
uint32_t TLV_GetObjectTagLength(const S_TLV* tlv);
// Returns the buffer offset of the current object's value.
uint32_t TLV_GetObjectTagOffset(const S_TLV* tlv);
// Removes the first object with tag and closes the gap; 0 removed, 1 otherwise.
int TLV_ClearObject(S_TLV* tlv, uint32_t tag);
// Finds tag, checks its length (requiredLen 0 = any), copies the value to dest
// when given and removes the object when remove is set; RES_OK, RES_TLV_TAG_MISSING or RES_TLV_TAG_LENGTH.
int TLV_CheckTagData(S_TLV* tlv, uint32_t tag, uint16_t requiredLen, void* dest, uint8_t remove);
