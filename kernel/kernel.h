// kernel/kernel.h
// The operation kernel: driver, request and response, initialisation, stages.
#pragma once
#include <cstdint>

#include "support/payorder.h"

typedef void (*PFN_SHOW_MESSAGE)(char*);

// Runs one complete card operation; 0, 1 (a management session ran) or a start-up code.
int int_PerformCardOperation(const char* request, char** response, PFN_SHOW_MESSAGE show);
