// Point-of-sale application interface: declarations of the application's own
// types, as the payment plug-ins see them. The application owns these types.
//
// Every payment plug-in object implements AbstractPaymentProcessing and
// declares it to Qt under the interface id "PelonPaymentProcessing/1.0"; the
// application finds it with qobject_cast after QPluginLoader::instance(). The
// slot order below is the binary contract between the two sides.
#pragma once

#include <QMap>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QtPlugin>

#include "abstractdocument.h"
#include "epaymentprocessingoption.h"
#include "paymentprocessingrequest.h"
#include "tr.h"

// Returned by value; the record itself is built into each plug-in.
class PaymentProcessingAnswer;

class AbstractPaymentProcessing
{
public:
    virtual ~AbstractPaymentProcessing() = default;

    virtual void init() = 0;
    virtual bool isPaymentEnable(PaymentProcessingRequest::Type type) const = 0;
    virtual bool isPaymentEnable(const QSharedPointer<AbstractDocument>& document) const = 0;
    virtual bool isCancelEnable(PaymentProcessingRequest::Type type) const = 0;
    virtual bool isCheckTotalsEnable() const = 0;
    virtual bool isUsePaymentAsDiscount() const = 0;
    virtual PaymentProcessingAnswer payment(const PaymentProcessingRequest& request) = 0;
    virtual PaymentProcessingAnswer change(const PaymentProcessingRequest& request) = 0;
    virtual PaymentProcessingAnswer cancel(const PaymentProcessingRequest& request) = 0;
    virtual PaymentProcessingAnswer checkTotals(int merchant) = 0;
    virtual PaymentProcessingAnswer checkTotalsByMerchantId(const QString& merchantId) = 0;
    virtual PaymentProcessingAnswer printCopy(int number) = 0;
    virtual PaymentProcessingAnswer printReport() = 0;
    virtual PaymentProcessingAnswer printReportByMerchantId(const QString& merchantId) = 0;
    virtual PaymentProcessingAnswer printShortReport() = 0;
    virtual PaymentProcessingAnswer balance(const QString& cardNumber) = 0;
    virtual PaymentProcessingAnswer discountCard() = 0;
    virtual PaymentProcessingAnswer loyaltyCards(const QString& cardNumber) = 0;
    virtual bool checkOption(EPaymentProcessingOption::Option option) const = 0;
    virtual void setOption(EPaymentProcessingOption::Option option, bool enable) = 0;
    virtual void cancelCardRequest() = 0;
    // Message id -> Russian text of every message the processor may answer with.
    virtual QMap<QString, QString> getMessageInfo() const = 0;
    virtual QString getDialogScanMask() const = 0;
    virtual QString getDialogImagePath() const = 0;
    virtual PaymentProcessingAnswer testConnection() = 0;
    virtual PaymentProcessingAnswer demandPinCode() = 0;
    virtual PaymentProcessingAnswer demandQRCode(const PaymentProcessingRequest& request) = 0;
    virtual PaymentProcessingAnswer getPaymentByQRCodeStatus(const QString& qrCode) = 0;
    virtual int getWaitPaymentByQRCodeDuration() const = 0;
    virtual void cancelPaymentByQRCodeInQueue(const PaymentProcessingRequest& request) = 0;
    virtual PaymentProcessingAnswer paymentByQRCodeOnPinPad(const PaymentProcessingRequest& request) = 0;
    virtual PaymentProcessingAnswer cancelByQRCodeOnPinPad(const PaymentProcessingRequest& request) = 0;
    virtual void setProcessingDirectory(const QString& directory) = 0;
    virtual bool interruptPayment() = 0;
    virtual int getValutCodeForGetHashedCardNumber() const = 0;
    virtual PaymentProcessingAnswer getHashedCardNumber() = 0;
};

#define AbstractPaymentProcessing_iid "PelonPaymentProcessing/1.0"
Q_DECLARE_INTERFACE(AbstractPaymentProcessing, AbstractPaymentProcessing_iid)
