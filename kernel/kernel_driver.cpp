// kernel/kernel_driver.cpp
#include "kernel/kernel.h"

int int_PerformCardOperation(const char* request, char** response, PFN_SHOW_MESSAGE show) {
    (void)request;
    (void)response;
    (void)show;
    return 0;
}
