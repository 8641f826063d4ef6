// A card sale made the way the point-of-sale application makes it: a headless
// Qt host loads the built plug-in with QPluginLoader, takes its payment
// interface and pays; the plug-in writes the request and runs the real Ravo,
// which loads libRAVOux.so, reads the card on pinpad_emu (pseudo-terminal) and
// is approved by host_emu (TLS). Only the answer the till receives is checked
// here, against what the processes did.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPluginLoader>

#include <thread>
#include <unistd.h>

#include "abstractpaymentprocessing.h"
#include "paymentprocessinganswer.h"
#include "support/result_codes.h"
#include "tests/e2e/terminal.h"

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// While it lives, the Ravo the plug-in starts has its pauses (the 3 s a
// failure stays shown, the management session's closing pause) last a
// five-hundredth, through the fast-clock shim of the end-to-end runs; every time
// limit stays real. Made after the emulators started, so they keep real time.
class FastPauses
{
public:
    FastPauses()
    {
        const char* preload = getenv("LD_PRELOAD");
        hadPreload = preload != nullptr;
        if (hadPreload)
            savedPreload = preload;
        const std::string shim = emu::PreloadValue(FASTCLOCK_LIB);
        setenv("LD_PRELOAD", (hadPreload && *preload ? savedPreload + ":" + shim : shim).c_str(), 1);
        setenv("E2E_SLEEP_SCALE", "500", 1);
    }
    ~FastPauses()
    {
        if (hadPreload)
            setenv("LD_PRELOAD", savedPreload.c_str(), 1);
        else
            unsetenv("LD_PRELOAD");
        unsetenv("E2E_SLEEP_SCALE");
    }
    FastPauses(const FastPauses&) = delete;
    FastPauses& operator=(const FastPauses&) = delete;

private:
    bool hadPreload = false;
    std::string savedPreload;
};

TEST(PluginSale, CardSaleThroughThePluginAndTheRealProcesses)
{
    QPluginLoader loader(QStringLiteral(VELMONT_PLUGIN_PATH));
    auto* processor = qobject_cast<AbstractPaymentProcessing*>(loader.instance());
    ASSERT_NE(nullptr, processor) << qPrintable(loader.errorString());

    e2e::Terminal terminal;
    processor->setProcessingDirectory(QString::fromStdString(terminal.Path()));

    PaymentProcessingAnswer answer;
    const e2e::RunResult run = terminal.RunVia(
        [&] { answer = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1500)); },
        "card=stripe", "* approve");

    ASSERT_TRUE(answer.isSuccess()) << qPrintable(answer.getMessage().ru()) << "\n" << run.response << run.log;
    EXPECT_EQ(0, answer.getCode());
    EXPECT_EQ(U("ОДОБРЕНО БАНКОМ"), answer.getMessage().ru());
    // The emulated card is 4000001234567899: the till sees only its last four digits.
    EXPECT_EQ(QStringLiteral("************7899"), answer.getCardNumber());
    EXPECT_EQ(QStringLiteral("1"), answer.getAuthorizationCode());

    // The amount the till asked for is the one the acquirer authorised.
    const std::vector<std::string> authorisations = e2e::HostRequests(run.host, "1200");
    ASSERT_EQ(1u, authorisations.size()) << run.host;
    EXPECT_TRUE(e2e::Has(authorisations[0], "f4=000000001500")) << authorisations[0];

    // Two copies of one receipt: the customer's and the merchant's.
    const QStringList images = answer.getPrintImages();
    ASSERT_EQ(2, images.size());
    EXPECT_EQ(images[0], images[1]);
    EXPECT_EQ(QString::fromStdString(run.Field("ChequeText")), images[0]) << "the whole receipt the library wrote";
    EXPECT_TRUE(images[0].contains(QStringLiteral("15.00 BYN"))) << qPrintable(images[0]);
    EXPECT_TRUE(images[0].contains(QStringLiteral("7899"))) << qPrintable(images[0]);
    EXPECT_FALSE(images[0].contains(QStringLiteral("4000001234567899"))) << "clear card number on the receipt";
}

// The cashier's reprint after the sale: the same receipts marked as copies,
// and neither the library nor the pad nor the host is involved.
TEST(PluginSale, ReprintOfTheSaleRunsNothing)
{
    QPluginLoader loader(QStringLiteral(VELMONT_PLUGIN_PATH));
    auto* processor = qobject_cast<AbstractPaymentProcessing*>(loader.instance());
    ASSERT_NE(nullptr, processor) << qPrintable(loader.errorString());

    e2e::Terminal terminal;
    processor->setProcessingDirectory(QString::fromStdString(terminal.Path()));
    PaymentProcessingAnswer sale;
    const e2e::RunResult run = terminal.RunVia(
        [&] { sale = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1500)); },
        "card=stripe", "* approve");
    ASSERT_TRUE(sale.isSuccess()) << qPrintable(sale.getMessage().ru()) << "\n" << run.log;
    ASSERT_EQ(2, sale.getPrintImages().size());

    // A run would write a new response and a new log.
    const QString response = QString::fromStdString(terminal.Path() + "/RAVORS.XML");
    ASSERT_TRUE(QFile::remove(response));
    const std::string hostBefore = terminal.HostHistory();
    const PaymentProcessingAnswer copy = processor->printCopy(1);

    ASSERT_TRUE(copy.isSuccess()) << qPrintable(copy.getMessage().ru());
    const QStringList images = copy.getPrintImages();
    ASSERT_EQ(2, images.size());
    for (const QString& image : images)
        EXPECT_EQ(U("КОПИЯ\n") + sale.getPrintImages()[0], image);
    EXPECT_EQ(sale.getCardNumber(), copy.getCardNumber());
    EXPECT_EQ(sale.getAuthorizationCode(), copy.getAuthorizationCode());
    EXPECT_FALSE(QFile::exists(response)) << "Ravo ran for the reprint";
    EXPECT_EQ(hostBefore, terminal.HostHistory());
    EXPECT_EQ(1u, terminal.Journal().size());
}

// The link test is the card system's echo with the bank: success when the
// host answers, the library's own result text when it does not.
TEST(PluginSale, LinkTestThroughTheRealProcesses)
{
    QPluginLoader loader(QStringLiteral(VELMONT_PLUGIN_PATH));
    auto* processor = qobject_cast<AbstractPaymentProcessing*>(loader.instance());
    ASSERT_NE(nullptr, processor) << qPrintable(loader.errorString());

    const struct {
        const char* hostScenario;
        bool success;
    } cases[] = {
        {"* approve", true},
        {"* decline 909", false},
        {"* drop", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hostScenario);
        e2e::Terminal terminal;
        processor->setProcessingDirectory(QString::fromStdString(terminal.Path()));
        PaymentProcessingAnswer answer;
        const e2e::RunResult run = terminal.RunVia(
            [&] {
                const FastPauses fast;
                answer = processor->testConnection();
            },
            "", c.hostScenario);

        EXPECT_LE(1u, e2e::HostRequests(run.host, "1800").size()) << "the echo reached the host\n" << run.host;
        EXPECT_EQ(c.success, answer.isSuccess()) << run.response << run.log;
        EXPECT_EQ(run.ResultCode(), answer.getCode());
        EXPECT_EQ(QString::fromStdString(run.Field("ResultText")), answer.getMessage().ru());
        EXPECT_FALSE(answer.getMessage().ru().isEmpty());
    }
}

// A payment directory without DATA stops the library before it answers: the
// cashier gets a failure that says what to check, with the launcher's status
// as its code, and the log says why.
TEST(PluginSale, APaymentDirectoryWithoutDataReachesTheCashierAsAFailure)
{
    QPluginLoader loader(QStringLiteral(VELMONT_PLUGIN_PATH));
    auto* processor = qobject_cast<AbstractPaymentProcessing*>(loader.instance());
    ASSERT_NE(nullptr, processor) << qPrintable(loader.errorString());

    e2e::Terminal terminal;
    processor->setProcessingDirectory(QString::fromStdString(terminal.Path()));
    const std::string data = terminal.Path() + "/DATA";
    PaymentProcessingAnswer answer;
    const e2e::RunResult run = terminal.RunVia(
        [&] {
            ASSERT_EQ(0, rename(data.c_str(), (data + ".away").c_str()));
            answer = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1500));
            ASSERT_EQ(0, rename((data + ".away").c_str(), data.c_str()));
        },
        "card=stripe", "* approve");

    EXPECT_FALSE(answer.isSuccess());
    EXPECT_EQ(-4, answer.getCode());
    EXPECT_EQ(U("Библиотека оплаты не дала ответа: проверьте каталоги DATA и LOG (есть ли они и доступны ли для записи) "
                "и свободное место на диске, причина записана в журнале LOG (код завершения Ravo 252)"),
              answer.getMessage().ru());
    EXPECT_TRUE(e2e::Has(run.log, "ERROR. int_PerformCardOperation. DATA/.cache not written: No such file or directory"))
        << run.log;
    EXPECT_TRUE(e2e::Has(run.log, "ERROR. Launcher_Run. The library gave no response [1065]")) << run.log;
    EXPECT_TRUE(e2e::HostRequests(run.host, "").empty()) << run.host;
}

// Texts the till does not control reach the response: the bank's name from the
// configuration and the approval code from the host. Whatever they hold, an
// approval stays an approval, and the receipt shows them as they are.
TEST(PluginSale, MarkupInBankAndHostTextsKeepsTheApproval)
{
    QPluginLoader loader(QStringLiteral(VELMONT_PLUGIN_PATH));
    auto* processor = qobject_cast<AbstractPaymentProcessing*>(loader.instance());
    ASSERT_NE(nullptr, processor) << qPrintable(loader.errorString());

    e2e::Terminal terminal;
    terminal.config["BANKTITLE"] = "Smith & Co <Ltd>";
    processor->setProcessingDirectory(QString::fromStdString(terminal.Path()));

    PaymentProcessingAnswer answer;
    const e2e::RunResult run = terminal.RunVia(
        [&] { answer = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1500)); },
        "card=stripe", "* approve 000 f38=A<&>B1");

    ASSERT_TRUE(answer.isSuccess()) << qPrintable(answer.getMessage().ru()) << "\n" << run.response << run.log;
    EXPECT_EQ(U("ОДОБРЕНО БАНКОМ"), answer.getMessage().ru());
    const QStringList images = answer.getPrintImages();
    ASSERT_EQ(2, images.size());
    EXPECT_TRUE(images[0].contains(QStringLiteral("Smith & Co <Ltd>"))) << qPrintable(images[0]);
    EXPECT_TRUE(images[0].contains(QStringLiteral("A<&>B1 "))) << qPrintable(images[0]);
}

// The library answers and books the sale, then waits for the cardholder to
// take the chip card; the plug-in's time limit (here a few seconds) runs out
// meanwhile and kills Ravo. The cashier must hear of the approval, not of a
// time-out that would have the customer pay again.
TEST(PluginSale, ApprovalGivenBeforeTheKillReachesTheCashier)
{
    QPluginLoader loader(QStringLiteral(VELMONT_CARD_WAIT_PLUGIN_PATH));
    auto* processor = qobject_cast<AbstractPaymentProcessing*>(loader.instance());
    ASSERT_NE(nullptr, processor) << qPrintable(loader.errorString());

    e2e::Terminal terminal;
    terminal.config["CLIENTTIMEOUT"] = "90";
    processor->setProcessingDirectory(QString::fromStdString(terminal.Path()));

    PaymentProcessingAnswer answer;
    const e2e::RunResult run = terminal.RunVia(
        [&] { answer = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1500)); },
        "card=chip\nremove_after_ms=600000", "* approve");

    EXPECT_GE(run.elapsedMs, VELMONT_CARD_WAIT_LIMIT_MS) << "Ravo ended before the limit, the kill was not tested";
    EXPECT_TRUE(e2e::Has(run.pad, "ВОЗЬМИТЕ КАРТОЧКУ")) << run.pad;
    ASSERT_TRUE(answer.isSuccess()) << qPrintable(answer.getMessage().ru()) << "\n" << run.log;
    EXPECT_EQ(U("ОДОБРЕНО БАНКОМ"), answer.getMessage().ru());
    EXPECT_EQ(QStringLiteral("************7899"), answer.getCardNumber());
    EXPECT_EQ(2, answer.getPrintImages().size());
    // What the cashier is told is what the terminal booked.
    EXPECT_EQ(1, terminal.Batch().usSaleCount);
    EXPECT_EQ(1500, e2e::AmountOf(terminal.Batch().stSaleTotal));
    EXPECT_EQ(1u, terminal.Journal().size());
}

// The plug-in sends the base currency of the card system's settings as the
// request's currency; the bank must get its ISO number, or nothing at all.
TEST(PluginSale, BaseCurrencyReachesTheBankAsItsNumber)
{
    QPluginLoader loader(QStringLiteral(VELMONT_PLUGIN_PATH));
    auto* processor = qobject_cast<AbstractPaymentProcessing*>(loader.instance());
    ASSERT_NE(nullptr, processor) << qPrintable(loader.errorString());

    const struct {
        const char* base;     // BASECURRENCY as the integrator wrote it
        int code;
        const char* field49;  // null: nothing may reach the host
        const char* receipt;
    } cases[] = {
        {"usd", 0, "840", "15.00 USD"},
        {"Eur", 0, "978", "15.00 EUR"},
        {"xyz", RES_CURRENCY_DISABLED, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        e2e::Terminal terminal;
        terminal.config["BASECURRENCY"] = c.base;
        processor->setProcessingDirectory(QString::fromStdString(terminal.Path()));
        PaymentProcessingAnswer answer;
        const e2e::RunResult run = terminal.RunVia(
            [&] {
                const FastPauses fast;
                answer = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1500));
            },
            "card=stripe", "* approve");

        EXPECT_EQ(c.code, answer.getCode()) << qPrintable(answer.getMessage().ru()) << "\n" << run.log;
        EXPECT_EQ(c.code == 0, answer.isSuccess());
        EXPECT_FALSE(e2e::Has(run.host, "f49=000")) << run.host;
        const std::vector<std::string> sent = e2e::HostRequests(run.host, "");
        if (!c.field49) {
            EXPECT_TRUE(sent.empty()) << run.host;
            EXPECT_FALSE(e2e::Has(run.pad, "CardReaderInitTK")) << "refused before the card is read";
            continue;
        }
        ASSERT_EQ(1u, sent.size()) << run.host;
        EXPECT_TRUE(e2e::Has(sent[0], std::string("f49=") + c.field49)) << sent[0];
        ASSERT_FALSE(answer.getPrintImages().isEmpty());
        EXPECT_TRUE(answer.getPrintImages()[0].contains(QString::fromLatin1(c.receipt))) << qPrintable(answer.getPrintImages()[0]);
    }
}

// checkTotals is the day close: it succeeds only when the bank closed the day,
// and the cashier reads the bank's verdict in the message and on the report.
TEST(PluginSale, DayCloseReportsTheBanksVerdict)
{
    QPluginLoader loader(QStringLiteral(VELMONT_PLUGIN_PATH));
    auto* processor = qobject_cast<AbstractPaymentProcessing*>(loader.instance());
    ASSERT_NE(nullptr, processor) << qPrintable(loader.errorString());

    const struct {
        const char* host;
        bool success;
        int code;
        const char* message;
        const char* report;  // on the report receipt
    } cases[] = {
        {"approve 500", true, 0, "ОДОБРЕНО БАНКОМ", "Ac 500"},
        {"approve 501", true, 0, "ОДОБРЕНО БАНКОМ СМЕНА ЗАКРЫТА НЕСОВПАДЕНИЕ СУММ", "НЕСОВПАДЕНИЕ СУММ !!!"},
        {"approve 502", false, 502, "ОТКЛОНЕНО СМЕНА НЕ ЗАКРЫТА НЕТ ИТОГОВЫХ ДАННЫХ", "НЕТ ИТОГОВЫХ ДАННЫХ"},
        {"approve 503", false, 503, "ОТКЛОНЕНО СМЕНА НЕ ЗАКРЫТА ОШИБКА В ИТОГАХ", "ОШИБКА В ИТОГАХ"},
        {"decline 504", false, 504, "ОТКЛОНЕНО СМЕНА НЕ ЗАКРЫТА НЕТ ИТОГОВЫХ ДАННЫХ", "СМЕНА НЕ ЗАКРЫТА"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        e2e::Terminal terminal;
        ASSERT_EQ(0, terminal.Run(e2e::Request("Sale", 1500), "", "* approve").ResultCode());
        processor->setProcessingDirectory(QString::fromStdString(terminal.Path()));
        PaymentProcessingAnswer answer;
        const e2e::RunResult run = terminal.RunVia(
            [&] {
                const FastPauses fast;
                answer = processor->checkTotals(0);
            },
            "", c.host);

        ASSERT_EQ(1u, e2e::HostRequests(run.host, "1520").size()) << run.host;
        EXPECT_EQ(c.success, answer.isSuccess()) << run.response;
        EXPECT_EQ(c.code, answer.getCode());
        EXPECT_EQ(U(c.message), answer.getMessage().ru());
        const QStringList images = answer.getPrintImages();
        ASSERT_EQ(1, images.size()) << run.response;
        EXPECT_TRUE(images[0].contains(U(c.report))) << qPrintable(images[0]);
        EXPECT_TRUE(images[0].contains(QStringLiteral("15.00"))) << qPrintable(images[0]);
    }
}

// A cancel whose first answer the application lost, tried again: the library
// finds the sale cancelled already (1503) and the till hears of a success,
// with the cancel's receipt, while the bank heard of one cancel only.
TEST(PluginSale, CancelTriedAgainIsDone)
{
    QPluginLoader loader(QStringLiteral(VELMONT_PLUGIN_PATH));
    auto* processor = qobject_cast<AbstractPaymentProcessing*>(loader.instance());
    ASSERT_NE(nullptr, processor) << qPrintable(loader.errorString());

    e2e::Terminal terminal;
    processor->setProcessingDirectory(QString::fromStdString(terminal.Path()));
    PaymentProcessingAnswer sale;
    terminal.RunVia([&] { sale = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1500)); },
                    "", "* approve");
    ASSERT_TRUE(sale.isSuccess()) << qPrintable(sale.getMessage().ru());
    const PaymentProcessingRequest cancel(PaymentProcessingRequest::Sale, 1500, sale.getAuthorizationCode());

    const struct {
        const char* name;
        int code;
        const char* message;
        const char* receipt;
    } steps[] = {
        {"first cancel", 0, "ОДОБРЕНО БАНКОМ", "ОТМЕНА ОПЛАТЫ"},
        {"the same cancel again", RES_ALREADY_CANCELLED, "ОДОБРЕНО ОТМЕНЕНО РАНЕЕ", "*** ОТМЕНЕНА РАНЕЕ ***"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        PaymentProcessingAnswer answer;
        const e2e::RunResult run = terminal.RunVia(
            [&] {
                const FastPauses fast;
                answer = processor->cancel(cancel);
            },
            "", "* approve");
        EXPECT_TRUE(answer.isSuccess()) << qPrintable(answer.getMessage().ru()) << "\n" << run.log;
        EXPECT_EQ(step.code, answer.getCode());
        EXPECT_EQ(U(step.message), answer.getMessage().ru());
        EXPECT_EQ(QStringLiteral("************7899"), answer.getCardNumber());
        const QStringList images = answer.getPrintImages();
        ASSERT_EQ(2, images.size());
        EXPECT_TRUE(images[0].contains(U(step.receipt))) << qPrintable(images[0]);
    }
    EXPECT_EQ(1u, e2e::HostRequests(terminal.HostHistory(), "1420").size()) << terminal.HostHistory();
    EXPECT_EQ(1, terminal.Batch().usSaleCancelCount);
    EXPECT_EQ(2u, terminal.Journal().size());
}

// A second payment while the first one waits for the card (another window of
// the application): answered at once as busy, without touching the request
// or running anything; the first payment's approval reaches its own caller,
// and the pad and the bank saw one sale.
TEST(PluginSale, ASecondPaymentWhileOneRunsIsAnsweredBusy)
{
    QPluginLoader loader(QStringLiteral(VELMONT_PLUGIN_PATH));
    auto* processor = qobject_cast<AbstractPaymentProcessing*>(loader.instance());
    ASSERT_NE(nullptr, processor) << qPrintable(loader.errorString());

    e2e::Terminal terminal;
    const std::string pay = terminal.Path();
    processor->setProcessingDirectory(QString::fromStdString(pay));
    // The card is held back until the second payment has its answer.
    const std::string cardGo = pay + "/../card.go";
    PaymentProcessingAnswer first, second;
    std::string requestMeanwhile;
    long secondMs = -1;
    bool cardAwaited = false;
    const e2e::RunResult run = terminal.RunVia(
        [&] {
            std::thread payment(
                [&] { first = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1500)); });
            for (int i = 0; i < 3000 && !cardAwaited; ++i) {
                cardAwaited = e2e::Has(emu::ReadLog(pay + "/LOG"), "SUCCESS. Kernel_Initialize");
                if (!cardAwaited) usleep(10000);
            }
            QElapsedTimer timer;
            timer.start();
            second = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 700));
            secondMs = timer.elapsed();
            requestMeanwhile = emu::ReadFile(pay + "/RAVORQ.XML");
            std::ofstream(cardGo) << "card";
            payment.join();
        },
        "card=stripe\ncard_when_file=" + cardGo, "* approve");

    ASSERT_TRUE(cardAwaited) << run.log;
    EXPECT_FALSE(second.isSuccess());
    EXPECT_EQ(RES_TERMINAL_BUSY, second.getCode());
    EXPECT_EQ(U("ОТКЛОНЕНО ТЕРМИНАЛ ЗАНЯТ ДРУГОЙ ОПЕРАЦИЕЙ"), second.getMessage().ru());
    EXPECT_TRUE(second.getPrintImages().isEmpty());
    EXPECT_LT(secondMs, 2000) << "answered at once";
    EXPECT_TRUE(e2e::Has(requestMeanwhile, "<Amount>1500</Amount>")) << requestMeanwhile;

    ASSERT_TRUE(first.isSuccess()) << qPrintable(first.getMessage().ru()) << "\n" << run.log;
    EXPECT_EQ(U("ОДОБРЕНО БАНКОМ"), first.getMessage().ru());
    EXPECT_EQ(2, first.getPrintImages().size());
    EXPECT_TRUE(first.getPrintImages()[0].contains(QStringLiteral("15.00 BYN")));
    EXPECT_EQ(1, e2e::Count(run.pad, "CardReaderInitTK")) << run.pad;
    const std::vector<std::string> sales = e2e::HostRequests(run.host, "1200");
    ASSERT_EQ(1u, sales.size()) << run.host;
    EXPECT_TRUE(e2e::Has(sales[0], "f4=000000001500")) << sales[0];
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
