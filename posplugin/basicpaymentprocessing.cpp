#include "basicpaymentprocessing.h"

#include <ctime>

namespace {

PaymentProcessingAnswer aux_NotAvailable(const char* id, const char* ruText)
{
    PaymentProcessingAnswer answer;
    answer.setMessage(tr::Tr(QString::fromLatin1(id), QString::fromUtf8(ruText)));
    return answer;
}

} // namespace

void BasicPaymentProcessing::init() {}

bool BasicPaymentProcessing::isPaymentEnable(PaymentProcessingRequest::Type) const { return false; }

bool BasicPaymentProcessing::isPaymentEnable(const QSharedPointer<AbstractDocument>&) const { return false; }

bool BasicPaymentProcessing::isCancelEnable(PaymentProcessingRequest::Type) const { return false; }

bool BasicPaymentProcessing::isCheckTotalsEnable() const { return false; }

bool BasicPaymentProcessing::isUsePaymentAsDiscount() const { return false; }

PaymentProcessingAnswer BasicPaymentProcessing::payment(const PaymentProcessingRequest&)
{
    return aux_NotAvailable("basicPaymentProcessingPayment", "Операция оплаты недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::change(const PaymentProcessingRequest&)
{
    return aux_NotAvailable("basicPaymentProcessingChange", "Операция сдачи недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::cancel(const PaymentProcessingRequest&)
{
    return aux_NotAvailable("basicPaymentProcessingCancel", "Операция отмены недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::checkTotals(int)
{
    // Same text as the short report's: the application's message table has it so for both.
    return aux_NotAvailable("basicPaymentProcessingCheckTotals", "Операция печати короткого отчета недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::checkTotalsByMerchantId(const QString&)
{
    return aux_NotAvailable("basicPaymentProcessingCheckTotalsByMerchant",
                            "Операция сверки итогов для юр. лица недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::printCopy(int)
{
    return aux_NotAvailable("basicPaymentProcessingPrintCopy", "Операция печати копии недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::printReport()
{
    return aux_NotAvailable("basicPaymentProcessingPrintReport", "Операция печати полного отчета недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::printReportByMerchantId(const QString&)
{
    return aux_NotAvailable("basicPaymentProcessingPrintReportByMerchant",
                            "Операция печати полного отчета для юр. лица недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::printShortReport()
{
    return aux_NotAvailable("basicPaymentProcessingPrintShortReport", "Операция печати короткого отчета недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::balance(const QString&)
{
    return aux_NotAvailable("basicPaymentProcessingBalance", "Операция запроса баланса недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::discountCard()
{
    return aux_NotAvailable("basicPaymentProcessingDiscountCard", "Операция получения скидочной карты недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::loyaltyCards(const QString&)
{
    return aux_NotAvailable("basicPaymentProcessingLoyaltyCards",
                            "Операция получения списка карт лояльности недоступна");
}

bool BasicPaymentProcessing::checkOption(EPaymentProcessingOption::Option option) const
{
    if (option == 0)
        return options == 0;
    return (options & option) == option;
}

void BasicPaymentProcessing::setOption(EPaymentProcessingOption::Option option, bool enable)
{
    if (enable)
        options |= option;
    else if (checkOption(option))
        options &= ~static_cast<quint32>(option);
}

void BasicPaymentProcessing::cancelCardRequest() {}

QMap<QString, QString> BasicPaymentProcessing::getMessageInfo() const { return {}; }

QString BasicPaymentProcessing::getDialogScanMask() const { return QStringLiteral(".*"); }

QString BasicPaymentProcessing::getDialogImagePath() const { return QString(); }

PaymentProcessingAnswer BasicPaymentProcessing::testConnection()
{
    return aux_NotAvailable("basicPaymentProcessingTestConnection", "Операция проверки связи недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::demandPinCode()
{
    return aux_NotAvailable("basicPaymentProcessingDemandPinCode", "Операция запроса пин-кода недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::demandQRCode(const PaymentProcessingRequest&)
{
    return aux_NotAvailable("basicPaymentProcessingDemandQrCode", "Операция запроса QR-кода недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::getPaymentByQRCodeStatus(const QString&)
{
    return aux_NotAvailable("basicPaymentProcessingGetPaymentByQRCodeStatus",
                            "Операция получения статуса оплаты по QR-коду недоступна");
}

int BasicPaymentProcessing::getWaitPaymentByQRCodeDuration() const { return 0; }

void BasicPaymentProcessing::cancelPaymentByQRCodeInQueue(const PaymentProcessingRequest&) {}

PaymentProcessingAnswer BasicPaymentProcessing::paymentByQRCodeOnPinPad(const PaymentProcessingRequest&)
{
    return aux_NotAvailable("basicPaymentProcessingPaymentByQRCodeOnPinPad",
                            "Операция оплаты по QR-коду на PinPad недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::cancelByQRCodeOnPinPad(const PaymentProcessingRequest&)
{
    return aux_NotAvailable("basicPaymentProcessingCancelByQRCodeOnPinPad",
                            "Операция отмены оплаты по QR-коду на PinPad недоступна");
}

void BasicPaymentProcessing::setProcessingDirectory(const QString& directory)
{
    if (!directory.isEmpty())
        processingDirectory = directory;
}

bool BasicPaymentProcessing::interruptPayment() { return false; }

int BasicPaymentProcessing::getValutCodeForGetHashedCardNumber() const { return -1; }

PaymentProcessingAnswer BasicPaymentProcessing::getHashedCardNumber()
{
    return aux_NotAvailable("basicPaymentProcessingGetHashedCardNumber",
                            "Операция получения хэшированного номера карты недоступна");
}

PaymentProcessingAnswer BasicPaymentProcessing::makeResult(const tr::Tr& message) const
{
    PaymentProcessingAnswer answer;
    answer.setMessage(message);
    return answer;
}

void BasicPaymentProcessing::waitBeforeNextOperation(int seconds) const
{
    if (seconds <= 0 || lastOperationTime.tv_sec <= 0)
        return;

    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long leftSeconds = static_cast<long long>(lastOperationTime.tv_sec) + seconds - now.tv_sec;
    if (leftSeconds > 0 || (leftSeconds == 0 && lastOperationTime.tv_nsec > now.tv_nsec)) {
        long long micros = leftSeconds * 1000000LL + (lastOperationTime.tv_nsec - now.tv_nsec) / 1000;
        // Not usleep: its 32-bit count would cut a wait of over about 71 minutes short.
        if (micros > 0) {
            struct timespec pause;
            pause.tv_sec = static_cast<time_t>(micros / 1000000);
            pause.tv_nsec = static_cast<long>(micros % 1000000) * 1000;
            nanosleep(&pause, nullptr);
        }
    }
}

void BasicPaymentProcessing::setLastOperationTime()
{
    clock_gettime(CLOCK_MONOTONIC, &lastOperationTime);
}
