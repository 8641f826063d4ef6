// PaymentProcessingAnswer: what every payment operation hands back to the
// point-of-sale application (success, code, message, print images, card data).
#pragma once

#include <QString>
#include <QStringList>

#include "cardmark.h"
#include "epaymentmethod.h"
#include "tr.h"

class PaymentProcessingAnswer
{
public:
    // 0 is success; everything else is some kind of failure.
    enum Status : int
    {
        Success = 0,
        Failure = 1,
    };

    PaymentProcessingAnswer() = default;

    void setCode(int value) { code = value; }
    int getCode() const { return code; }

    void setMessage(const tr::Tr& value) { message = value; }
    tr::Tr getMessage() const { return message; }

    void setStatus(Status value) { status = value; }
    Status getStatus() const { return status; }
    void setSuccess(bool success) { status = success ? Success : Failure; }
    bool isSuccess() const { return status == Success; }

    // One entry per printed copy.
    void setPrintImages(const QStringList& value) { printImages = value; }
    QStringList getPrintImages() const { return printImages; }

    void setTerminalNumber(int value) { terminalNumber = value; }
    int getTerminalNumber() const { return terminalNumber; }

    void setCardType(const QString& value) { cardType = value; }
    QString getCardType() const { return cardType; }

    void setCardNumber(const QString& value) { cardNumber = value; }
    QString getCardNumber() const { return cardNumber; }

    void setAuthorizationCode(const QString& value) { authorizationCode = value; }
    QString getAuthorizationCode() const { return authorizationCode; }

    void setRRN(const QString& value) { rrn = value; }
    QString getRRN() const { return rrn; }

    void setSum(double value) { sum = value; }
    double getSum() const { return sum; }

    void setPosName(const QString& value) { posName = value; }
    QString getPosName() const { return posName; }

    void setBalance(double value) { balance = value; }
    double getBalance() const { return balance; }

    void setDiscCardNumber(const QString& value) { discCardNumber = value; }
    QString getDiscCardNumber() const { return discCardNumber; }

    void setLoyaltyCards(const QStringList& value) { loyaltyCards = value; }
    QStringList getLoyaltyCards() const { return loyaltyCards; }

    void setHashedCardNumber(const QString& value) { hashedCardNumber = value; }
    QString getHashedCardNumber() const { return hashedCardNumber; }

    void setCardMark(const CardMark& value) { cardMark = value; }
    CardMark getCardMark() const { return cardMark; }

    void setQrCode(const QString& value) { qrCode = value; }
    QString getQrCode() const { return qrCode; }

    void setPaymentMethod(EPaymentMethod value) { paymentMethod = value; }
    EPaymentMethod getPaymentMethod() const { return paymentMethod; }

    // The QR code is transport data, not part of the answer's identity.
    bool operator==(const PaymentProcessingAnswer& other) const;
    bool operator!=(const PaymentProcessingAnswer& other) const { return !(*this == other); }

private:
    int code = 0;
    tr::Tr message;
    Status status = Failure;
    QStringList printImages;
    int terminalNumber = 0;
    QString cardType;
    QString cardNumber;
    QString authorizationCode;
    QString rrn;
    double sum = 0.0;
    QString posName;
    double balance = 0.0;
    QString discCardNumber;
    QStringList loyaltyCards;
    QString hashedCardNumber;
    CardMark cardMark;
    QString qrCode;
    EPaymentMethod paymentMethod = PaymentMethodUndefined;
};
