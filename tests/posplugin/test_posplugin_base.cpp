// The processor base class and the answer record, linked in directly.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <functional>
#include <unistd.h>

#include "basicpaymentprocessing.h"

namespace {

// While set, the pacing's sleep is only recorded, so that waits of hours can be checked.
bool g_RecordSleepOnly = false;
struct timespec g_RecordedSleep = {0, 0};

} // namespace

// Replaces the C library's nanosleep for this test program.
extern "C" int nanosleep(const struct timespec* requested, struct timespec* remaining)
{
    if (g_RecordSleepOnly) {
        g_RecordedSleep = *requested;
        return 0;
    }
    // Not the nanosleep system call: on a 32-bit target built with a 64-bit
    // time_t it reads a timespec of the old, 32-bit layout.
    int rc = clock_nanosleep(CLOCK_REALTIME, 0, requested, remaining);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

namespace {

long long aux_MonotonicMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

EPaymentProcessingOption::Option aux_Opt(quint32 bits)
{
    return static_cast<EPaymentProcessingOption::Option>(bits);
}

} // namespace

TEST(BasicPaymentProcessing, RefusesEveryOperationWithItsOwnMessage)
{
    struct Case {
        const char* id;
        const char* text;
        std::function<PaymentProcessingAnswer(BasicPaymentProcessing&)> call;
    };
    const PaymentProcessingRequest request(PaymentProcessingRequest::Sale, 100);
    const Case cases[] = {
        {"basicPaymentProcessingPayment", "Операция оплаты недоступна", [&](auto& p) { return p.payment(request); }},
        {"basicPaymentProcessingChange", "Операция сдачи недоступна", [&](auto& p) { return p.change(request); }},
        {"basicPaymentProcessingCancel", "Операция отмены недоступна", [&](auto& p) { return p.cancel(request); }},
        {"basicPaymentProcessingCheckTotals", "Операция печати короткого отчета недоступна",
         [](auto& p) { return p.checkTotals(1); }},
        {"basicPaymentProcessingCheckTotalsByMerchant", "Операция сверки итогов для юр. лица недоступна",
         [](auto& p) { return p.checkTotalsByMerchantId(QStringLiteral("m")); }},
        {"basicPaymentProcessingPrintCopy", "Операция печати копии недоступна", [](auto& p) { return p.printCopy(1); }},
        {"basicPaymentProcessingPrintReport", "Операция печати полного отчета недоступна",
         [](auto& p) { return p.printReport(); }},
        {"basicPaymentProcessingPrintReportByMerchant", "Операция печати полного отчета для юр. лица недоступна",
         [](auto& p) { return p.printReportByMerchantId(QStringLiteral("m")); }},
        {"basicPaymentProcessingPrintShortReport", "Операция печати короткого отчета недоступна",
         [](auto& p) { return p.printShortReport(); }},
        {"basicPaymentProcessingBalance", "Операция запроса баланса недоступна",
         [](auto& p) { return p.balance(QString()); }},
        {"basicPaymentProcessingDiscountCard", "Операция получения скидочной карты недоступна",
         [](auto& p) { return p.discountCard(); }},
        {"basicPaymentProcessingLoyaltyCards", "Операция получения списка карт лояльности недоступна",
         [](auto& p) { return p.loyaltyCards(QString()); }},
        {"basicPaymentProcessingTestConnection", "Операция проверки связи недоступна",
         [](auto& p) { return p.testConnection(); }},
        {"basicPaymentProcessingDemandPinCode", "Операция запроса пин-кода недоступна",
         [](auto& p) { return p.demandPinCode(); }},
        {"basicPaymentProcessingDemandQrCode", "Операция запроса QR-кода недоступна",
         [&](auto& p) { return p.demandQRCode(request); }},
        {"basicPaymentProcessingGetPaymentByQRCodeStatus", "Операция получения статуса оплаты по QR-коду недоступна",
         [](auto& p) { return p.getPaymentByQRCodeStatus(QString()); }},
        {"basicPaymentProcessingPaymentByQRCodeOnPinPad", "Операция оплаты по QR-коду на PinPad недоступна",
         [&](auto& p) { return p.paymentByQRCodeOnPinPad(request); }},
        {"basicPaymentProcessingCancelByQRCodeOnPinPad", "Операция отмены оплаты по QR-коду на PinPad недоступна",
         [&](auto& p) { return p.cancelByQRCodeOnPinPad(request); }},
        {"basicPaymentProcessingGetHashedCardNumber", "Операция получения хэшированного номера карты недоступна",
         [](auto& p) { return p.getHashedCardNumber(); }},
    };
    BasicPaymentProcessing processor;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        PaymentProcessingAnswer expected;
        expected.setMessage(tr::Tr(QString::fromUtf8(c.id), QString::fromUtf8(c.text)));
        const PaymentProcessingAnswer answer = c.call(processor);
        EXPECT_EQ(expected, answer);
        EXPECT_FALSE(answer.isSuccess());
        EXPECT_EQ(QString::fromUtf8(c.text), answer.getMessage().ru());
    }

    EXPECT_FALSE(processor.isPaymentEnable(PaymentProcessingRequest::Sale));
    EXPECT_FALSE(processor.isPaymentEnable(QSharedPointer<AbstractDocument>()));
    EXPECT_FALSE(processor.isCancelEnable(PaymentProcessingRequest::Sale));
    EXPECT_FALSE(processor.isCheckTotalsEnable());
    EXPECT_FALSE(processor.isUsePaymentAsDiscount());
    EXPECT_FALSE(processor.interruptPayment());
    EXPECT_EQ(-1, processor.getValutCodeForGetHashedCardNumber());
    EXPECT_EQ(0, processor.getWaitPaymentByQRCodeDuration());
    EXPECT_EQ(QStringLiteral(".*"), processor.getDialogScanMask());
    EXPECT_TRUE(processor.getDialogImagePath().isEmpty());
    EXPECT_TRUE(processor.getMessageInfo().isEmpty());
}

TEST(BasicPaymentProcessing, OptionsSetAllBitsAndClearOnlyWhenAllAreSet)
{
    const quint32 A = 0x1, B = 0x4;
    struct Case {
        const char* name;
        quint32 before;
        quint32 option;
        bool enable;
        quint32 after;
    };
    const Case cases[] = {
        {"set A|B on nothing", 0, A | B, true, A | B},
        {"clear A|B with only A set keeps A", A, A | B, false, A},
        {"clear A|B with both set clears both", A | B, A | B, false, 0},
        {"clear A keeps B", A | B, A, false, B},
        {"clear 0 with bits set changes nothing", A, 0, false, A},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BasicPaymentProcessing processor;
        if (c.before)
            processor.setOption(aux_Opt(c.before), true);
        processor.setOption(aux_Opt(c.option), c.enable);
        for (quint32 bit = 1; bit; bit <<= 1)
            EXPECT_EQ((c.after & bit) != 0, processor.checkOption(aux_Opt(bit))) << "bit " << bit;
        EXPECT_EQ(c.after == 0, processor.checkOption(aux_Opt(0)));
    }

    BasicPaymentProcessing processor;
    processor.setOption(aux_Opt(A), true);
    EXPECT_FALSE(processor.checkOption(aux_Opt(A | B))) << "a combination holds only when every bit is set";
}

TEST(BasicPaymentProcessing, EmptyProcessingDirectoryKeepsTheStoredOne)
{
    BasicPaymentProcessing processor;
    processor.setProcessingDirectory(QStringLiteral("/tmp/pay"));
    processor.setProcessingDirectory(QString());
    EXPECT_EQ(QStringLiteral("/tmp/pay"), processor.getProcessingDirectory());
    processor.setProcessingDirectory(QStringLiteral("/tmp/other"));
    EXPECT_EQ(QStringLiteral("/tmp/other"), processor.getProcessingDirectory());
}

TEST(BasicPaymentProcessing, PacingWaitsOutTheRestOfTheInterval)
{
    BasicPaymentProcessing processor;

    long long start = aux_MonotonicMs();
    processor.waitBeforeNextOperation(3);
    EXPECT_LT(aux_MonotonicMs() - start, 100) << "no operation yet: no wait";

    processor.setLastOperationTime();
    start = aux_MonotonicMs();
    processor.waitBeforeNextOperation(1);
    long long waited = aux_MonotonicMs() - start;
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 1500);

    // The interval has run out by now: the next call returns at once.
    start = aux_MonotonicMs();
    processor.waitBeforeNextOperation(1);
    processor.waitBeforeNextOperation(0);
    processor.waitBeforeNextOperation(-5);
    EXPECT_LT(aux_MonotonicMs() - start, 100);

    // Part of the interval already spent is not waited again.
    processor.setLastOperationTime();
    usleep(600 * 1000);
    start = aux_MonotonicMs();
    processor.waitBeforeNextOperation(1);
    waited = aux_MonotonicMs() - start;
    EXPECT_GE(waited, 300);
    EXPECT_LT(waited, 600);

    // A pause of two hours is waited whole, not cut short by a 32-bit microsecond count.
    processor.setLastOperationTime();
    g_RecordSleepOnly = true;
    processor.waitBeforeNextOperation(7200);
    g_RecordSleepOnly = false;
    EXPECT_GE(g_RecordedSleep.tv_sec, 7199);
    EXPECT_LE(g_RecordedSleep.tv_sec, 7200);
}

TEST(PaymentProcessingAnswer, DefaultIsAFailureWithCodeZero)
{
    PaymentProcessingAnswer answer;
    EXPECT_FALSE(answer.isSuccess());
    EXPECT_EQ(PaymentProcessingAnswer::Failure, answer.getStatus());
    EXPECT_EQ(0, answer.getCode());
    EXPECT_TRUE(answer.getMessage().isEmpty());
    EXPECT_TRUE(answer.getPrintImages().isEmpty());
    EXPECT_EQ(PaymentProcessingAnswer(), answer);

    answer.setSuccess(true);
    EXPECT_EQ(0, static_cast<int>(answer.getStatus()));
    EXPECT_TRUE(answer.isSuccess());
    answer.setSuccess(false);
    EXPECT_EQ(1, static_cast<int>(answer.getStatus()));
    answer.setStatus(static_cast<PaymentProcessingAnswer::Status>(7));
    EXPECT_FALSE(answer.isSuccess()) << "any status other than 0 is a failure";
}

TEST(PaymentProcessingAnswer, EqualityCoversEveryFieldButTheQrCode)
{
    struct Case {
        const char* field;
        std::function<void(PaymentProcessingAnswer&)> change;
        bool stillEqual;
    };
    const Case cases[] = {
        {"qrCode", [](auto& a) { a.setQrCode(QStringLiteral("qr")); }, true},
        {"code", [](auto& a) { a.setCode(5); }, false},
        {"message id", [](auto& a) { a.setMessage(tr::Tr(QStringLiteral("x"), QString())); }, false},
        {"message text", [](auto& a) { a.setMessage(tr::Tr(QString(), QStringLiteral("x"))); }, false},
        {"status", [](auto& a) { a.setSuccess(true); }, false},
        {"printImages", [](auto& a) { a.setPrintImages({QStringLiteral("slip")}); }, false},
        {"terminalNumber", [](auto& a) { a.setTerminalNumber(1); }, false},
        {"cardType", [](auto& a) { a.setCardType(QStringLiteral("VISA")); }, false},
        {"cardNumber", [](auto& a) { a.setCardNumber(QStringLiteral("1234")); }, false},
        {"authorizationCode", [](auto& a) { a.setAuthorizationCode(QStringLiteral("1")); }, false},
        {"rrn", [](auto& a) { a.setRRN(QStringLiteral("1")); }, false},
        {"sum", [](auto& a) { a.setSum(0.01); }, false},
        {"posName", [](auto& a) { a.setPosName(QStringLiteral("p")); }, false},
        {"balance", [](auto& a) { a.setBalance(1.0); }, false},
        {"discCardNumber", [](auto& a) { a.setDiscCardNumber(QStringLiteral("d")); }, false},
        {"loyaltyCards", [](auto& a) { a.setLoyaltyCards({QStringLiteral("l")}); }, false},
        {"hashedCardNumber", [](auto& a) { a.setHashedCardNumber(QStringLiteral("h")); }, false},
        {"cardMark", [](auto& a) { a.setCardMark(CardMark(2)); }, false},
        {"paymentMethod", [](auto& a) { a.setPaymentMethod(PaymentMethodCard); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        PaymentProcessingAnswer changed;
        c.change(changed);
        EXPECT_EQ(c.stillEqual, changed == PaymentProcessingAnswer());
        EXPECT_EQ(c.stillEqual, PaymentProcessingAnswer() == changed);
    }

    PaymentProcessingAnswer nan;
    nan.setSum(std::nan(""));
    EXPECT_FALSE(nan == nan) << "a NaN sum makes the answer unequal to itself";
}
