// A card sale made the way the point-of-sale application makes it: a headless
// Qt host loads the built plug-in with QPluginLoader, takes its payment
// interface and pays; the plug-in writes the request and runs the real Ravo,
// which loads libRAVOux.so, reads the card on pinpad_emu (pseudo-terminal) and
// is approved by host_emu (TLS). Only the answer the till receives is checked
// here, against what the processes did.
#include <gtest/gtest.h>

#include <cstdio>

#include <QCoreApplication>
#include <QFile>
#include <QPluginLoader>

#include "abstractpaymentprocessing.h"
#include "paymentprocessinganswer.h"
#include "tests/e2e/terminal.h"

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

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
        const e2e::RunResult run =
            terminal.RunVia([&] { answer = processor->testConnection(); }, "", c.hostScenario);

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

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
