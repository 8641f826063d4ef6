// VelmontProcessing: the point-of-sale plug-in that pays by card through the
// RAVO card system. Each supported call becomes one run of the launcher Ravo in
// the payment directory: request file in, response file out.
#pragma once

#include <QObject>
#include <QString>

#include "basicpaymentprocessing.h"
#include "evelmontprocessing.h"

namespace Log4Qt {
class Logger;
}

class VelmontProcessing : public QObject, public BasicPaymentProcessing
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "VelmontProcessing")
    Q_INTERFACES(AbstractPaymentProcessing)

public:
    VelmontProcessing();
    ~VelmontProcessing() override;

    bool isPaymentEnable(PaymentProcessingRequest::Type type) const override;
    using BasicPaymentProcessing::isPaymentEnable;
    bool isCancelEnable(PaymentProcessingRequest::Type type) const override;
    bool isCheckTotalsEnable() const override;
    PaymentProcessingAnswer payment(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer cancel(const PaymentProcessingRequest& request) override;
    PaymentProcessingAnswer checkTotals(int merchant) override;
    PaymentProcessingAnswer printReport() override;
    PaymentProcessingAnswer printShortReport() override;
    PaymentProcessingAnswer balance(const QString& cardNumber) override;
    // The receipt of the last operation the card system answered with one,
    // each image marked as a copy; no run of the launcher.
    PaymentProcessingAnswer printCopy(int number) override;
    PaymentProcessingAnswer testConnection() override;

    // One blocking run of the launcher for operation; amount and referenceText
    // go into the request only where the operation takes them.
    PaymentProcessingAnswer run(EVelmontProcessing::Operation operation, int amount, const QString& referenceText);
    // True when path exists and may be executed; otherwise false with the
    // cashier's text in errorText.
    bool checkExecFile(const QString& path, QString& errorText);

    // Where the launcher runs: the processing directory the application set,
    // or the standard one; always ends with "/".
    QString paymentDirectory() const;

private:
    Log4Qt::Logger* logger;
};
