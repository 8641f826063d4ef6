// BasicPaymentProcessing: the base of every payment processor. It refuses each
// operation with a "not available" answer, keeps the option bits, the time of
// the last operation (for pacing) and the processing directory; a processor
// overrides only what it supports.
#pragma once

#include <ctime>

#include "abstractpaymentprocessing.h"
#include "paymentprocessinganswer.h"

class BasicPaymentProcessing : public AbstractPaymentProcessing
{
public:
    BasicPaymentProcessing() = default;
    ~BasicPaymentProcessing() override = default;

    void init() override;
    bool isPaymentEnable(PaymentProcessingRequest::Type type) const override;
    bool isPaymentEnable(const QSharedPointer<AbstractDocument>& document) const override;
    bool isCancelEnable(PaymentProcessingRequest::Type type) const override;
    bool isCheckTotalsEnable() const override;
    bool isUsePaymentAsDiscount() const override;
    PaymentProcessingAnswer payment(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer change(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer cancel(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer checkTotals(int merchant) override;
    PaymentProcessingAnswer checkTotalsByMerchantId(const QString& merchantId) override;
    PaymentProcessingAnswer printCopy(int number) override;
    PaymentProcessingAnswer printReport() override;
    PaymentProcessingAnswer printReportByMerchantId(const QString& merchantId) override;
    PaymentProcessingAnswer printShortReport() override;
    PaymentProcessingAnswer balance(const QString& cardNumber) override;
    PaymentProcessingAnswer discountCard() override;
    PaymentProcessingAnswer loyaltyCards(const QString& cardNumber) override;
    // True when every bit of option is set; option 0 holds only while no bit is set.
    bool checkOption(EPaymentProcessingOption::Option option) const override;
    // Clearing takes effect only when all bits of option are set.
    void setOption(EPaymentProcessingOption::Option option, bool enable) override;
    void cancelCardRequest() override;
    QMap<QString, QString> getMessageInfo() const override;
    QString getDialogScanMask() const override;
    QString getDialogImagePath() const override;
    PaymentProcessingAnswer testConnection() override;
    PaymentProcessingAnswer demandPinCode() override;
    PaymentProcessingAnswer demandQRCode(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer getPaymentByQRCodeStatus(const QString& qrCode) override;
    int getWaitPaymentByQRCodeDuration() const override;
    void cancelPaymentByQRCodeInQueue(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer paymentByQRCodeOnPinPad(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer cancelByQRCodeOnPinPad(const PaymentProcessingRequest& request) override;
    // An empty text keeps the directory already stored.
    void setProcessingDirectory(const QString& directory) override;
    bool interruptPayment() override;
    int getValutCodeForGetHashedCardNumber() const override;
    PaymentProcessingAnswer getHashedCardNumber() override;

    // A fresh (failed, code 0) answer carrying message.
    PaymentProcessingAnswer makeResult(const tr::Tr& message) const;
    // Sleeps until seconds have passed since setLastOperationTime(); returns at
    // once when they have, when seconds <= 0, or when no time was ever stored.
    void waitBeforeNextOperation(int seconds) const;
    // Remembers now, on the monotonic clock.
    void setLastOperationTime();
    QString getProcessingDirectory() const { return processingDirectory; }

private:
    quint32 options = 0;
    struct timespec lastOperationTime = {0, 0};
    QString processingDirectory;
};
