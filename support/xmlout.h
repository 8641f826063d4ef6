// support/xmlout.h
// A minimal streaming XML writer for the response file: one file at a time,
// one element per line with two-space indentation, no declaration. Values are
// UTF-8 text written as character data (XMLOut_PutText), so that any XML
// reader gets them back. Failures are logged and returned as codes RES_XML_INIT..RES_XML_SHORT_WRITE.
#pragma once
#include <cstdio>

// Closes a file still open, resets the state and creates or truncates path; RES_OK or RES_XML_INIT.
int XMLOut_Init(const char* path);
// Returns 1 while a file is open for writing, else 0.
int XMLOut_IsInitialized();
// Flushes the open file to the disk and closes it, then resets the state;
// RES_OK (also when nothing was open) or RES_XML_SHORT_WRITE when any of the data, written through
// the writer or straight through the handle, did not reach the disk.
int XMLOut_DeInit();
// Returns the open file for writing lines directly (the receipt), or null.
FILE* XMLOut_GetFileHandle();
// Writes "<name>" at the current depth and enters the group; RES_OK, RES_XML_NOT_INIT, RES_XML_NO_FILE
// or RES_XML_SHORT_WRITE.
int XMLOut_OpenXMLAggregate(const char* name);
// Leaves the group and writes "</name>" at the outer depth; RES_OK, RES_XML_NOT_INIT, RES_XML_NO_FILE
// or RES_XML_SHORT_WRITE.
int XMLOut_CloseXMLAggregate(const char* name);
// Writes "<name>value</name>" at the current depth, the value as by
// XMLOut_PutText; RES_OK, RES_XML_NOT_INIT, RES_XML_NO_FILE or RES_XML_SHORT_WRITE.
int XMLOut_AddXMLField(const char* name, const char* value);
// Writes UTF-8 text into file as XML character data: "&", "<" and ">" as
// entity references, a carriage return as "&#13;" (a reader would turn a bare
// one into a line feed), tab and line feed as they are; every other control
// character, and every byte that is not part of a valid UTF-8 character XML
// allows, becomes "?". RES_OK, RES_XML_NO_FILE without a stream, or RES_XML_SHORT_WRITE when the stream
// refused bytes; not logged, the caller words the failure.
int XMLOut_PutText(FILE* file, const char* text);
