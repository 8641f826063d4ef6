// The card system's response RAVORS.XML, read into the answer the cash desk gets.
#pragma once

#include <QByteArray>
#include <QString>

#include "paymentprocessinganswer.h"

namespace Log4Qt {
class Logger;
}

// The message of a failure of the plug-in itself: id "undefined", the Russian text.
tr::Tr VelmontResponse_OwnMessage(const QString& text);

// Reads the bytes of one response. A response that does not parse or has no
// valid result code is a failure with the reader's own text, or with
// failureText when that is not empty (the launcher itself already failed).
PaymentProcessingAnswer VelmontResponse_Read(const QByteArray& data, const QString& failureText,
                                             Log4Qt::Logger* logger);
