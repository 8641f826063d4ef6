// Point-of-sale application interface: declarations of the application's own
// types, as the payment plug-ins see them. The application owns these types.
#pragma once

#include <QString>
#include <QtGlobal>

// What the till asks a processor to do: the kind of operation, the amount in
// minor units and, for a cancellation, the reference of the operation to undo.
class PaymentProcessingRequest
{
public:
    enum Type
    {
        Undefined = 0,
        Sale = 1,
        Refund = 2,
        RefundWithoutReceipt = 3,
    };

    PaymentProcessingRequest() = default;
    PaymentProcessingRequest(Type type, qint32 amount, const QString& referenceText = QString())
        : type(type), amount(amount), referenceText(referenceText) {}

    Type getType() const { return type; }
    void setType(Type value) { type = value; }

    // Amount in minor units (kopecks).
    qint32 getAmount() const { return amount; }
    void setAmount(qint32 value) { amount = value; }

    // The code under which the processing answered the operation to be cancelled.
    QString getReferenceText() const { return referenceText; }
    void setReferenceText(const QString& value) { referenceText = value; }

private:
    Type type = Undefined;
    qint32 amount = 0;
    QString referenceText;
};
