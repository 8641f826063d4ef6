// The card system's response RAVORS.XML, read into the answer the cash desk gets.
#pragma once

#include <QByteArray>
#include <QString>

#include "paymentprocessinganswer.h"

namespace Log4Qt {
class Logger;
}

// What the card system says with its codes and the launcher's exit status.
enum : int {
    // A cancel of a sale already cancelled: done, answered with its receipt.
    VELMONT_RESULT_ALREADY_CANCELLED = 1503,
    // Another operation holds the payment directory; this one did nothing.
    VELMONT_RESULT_TERMINAL_BUSY = 1072,
    // Ravo's exit status when the library refused the call as busy.
    VELMONT_LAUNCHER_BUSY_EXIT = 251,
};

// True for the result codes the cash desk takes as done: 0, and 1503 (the
// sale had been cancelled already, so the cancel asked for stands).
bool VelmontResponse_IsSuccess(int resultCode);

// The message of a failure of the plug-in itself: id "undefined", the Russian text.
tr::Tr VelmontResponse_OwnMessage(const QString& text);

// Reads the bytes of one response. A response that does not parse or has no
// valid result code is a failure with the reader's own text, or with
// failureText when that is not empty (the launcher itself already failed).
PaymentProcessingAnswer VelmontResponse_Read(const QByteArray& data, const QString& failureText,
                                             Log4Qt::Logger* logger);
