// kernel/kernel.h
// The operation kernel: driver, request and response, initialisation,
// session close.
#pragma once
#include <cstdint>

#include "support/payorder.h"

typedef void (*PFN_SHOW_MESSAGE)(char*);

// Runs one complete card operation; 0, 1 (a management session ran) or a start-up code.
int int_PerformCardOperation(const char* request, char** response, PFN_SHOW_MESSAGE show);

// Parses the request text into the order (clears g_Vars first); 0, 1001, 1002 or 1004.
int Kernel_ParseInput(const char* text, S_PAY_ORDER* order, uint8_t* fullReport);
// Writes RAVORS.XML and hands back a copy in *response (array new); 0, 1200 or -1.
int Kernel_CreateResponse(int result, S_PAY_ORDER* order, char** response);
// Loads configuration, settles the currency, connects and checks the PIN pad; 0 or a result code.
int Kernel_Initialize(S_PAY_ORDER* order);
// Ejects the card, shows the result on the pad and the cashier display, frees the session.
void Kernel_CloseSession(int result, S_PAY_ORDER* order);

// Copies the value of <tag>...</tag> (1 to 32 characters) into out; 1 when present, else 0.
int aux_Kernel_GetInputParam(const char* text, const char* tag, char* out);
