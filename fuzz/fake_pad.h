// fuzz/fake_pad.h
// The PIN pad's serial line, replaced for the pad targets (fake_pad.cpp takes
// the place of pinpad/comport.cpp). Nothing ever waits: a read that finds
// nothing moves the still clock on by its time limit.
#pragma once
#include <cstddef>
#include <cstdint>

// The line gives exactly these bytes, whatever is sent, in pieces as a pad
// would: each write lets the next record of data through (length, 2 bytes,
// then that many bytes); nothing is there before the first write, so that the
// stale bytes dropped ahead of a link test are not the whole input.
void FakePad_Raw(const uint8_t* data, size_t n);
// A pad that echoes link tests, agrees session keys and answers each request
// with the next reply record of data: length (2 bytes), status word (2 bytes),
// then that many data bytes; the framing, the command echo and the CRC are its own.
void FakePad_Replies(const uint8_t* data, size_t n);
