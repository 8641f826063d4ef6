// Receipt lines, amounts in words, and the three receipt layouts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "receipt/cheqbld.h"
#include "receipt/utilcheq.h"
#include "support/cp1251.h"
#include "support/param.h"
#include "support/resource.h"

namespace {

// Collects what the printer writes; the text comes back in UTF-8.
class Capture {
public:
    Capture() : m_file(tmpfile()) {}
    ~Capture() { fclose(m_file); }
    FILE* file() { return m_file; }
    std::string text() {
        fflush(m_file);
        std::string out;
        rewind(m_file);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), m_file)) > 0) out.append(buf, n);
        return out;
    }

private:
    FILE* m_file;
};

std::string Utf8(const char* cp1251Text) { return Resource_GetChequeLine(cp1251Text); }

TEST(UtilCheq, LineLayouts) {
    const struct { const char* name; int width; void (*print)(); std::string expected; } cases[] = {
        {"width 0 prints 20", 0, [] { UtilCheq_PrintLine('-') ; }, std::string(20, '-') + "\n"},
        {"width 120 prints 80", 120, [] { UtilCheq_PrintLine('=') ; }, std::string(80, '=') + "\n"},
        {"centre 7 in 32", 32, [] { UtilCheq_PrintString(CHEQ_ALIGN_CENTER, "ABCDEFG", 0) ; },
         std::string(12, ' ') + "ABCDEFG\n"},
        {"right", 32, [] { UtilCheq_PrintString(CHEQ_ALIGN_RIGHT, "AB", 0) ; }, std::string(30, ' ') + "AB\n"},
        {"blank skipped", 32, [] { UtilCheq_PrintString(CHEQ_ALIGN_CENTER, "   ", 1) ; }, ""},
        {"justify 20+11 fits", 32,
         [] { UtilCheq_PrintJustify(std::string(20, 'L').c_str(), std::string(11, 'R').c_str()) ; },
         std::string(20, 'L') + " " + std::string(11, 'R') + "\n"},
        {"justify 20+12 splits", 32,
         [] { UtilCheq_PrintJustify(std::string(20, 'L').c_str(), std::string(12, 'R').c_str()) ; },
         std::string(20, 'L') + "\n" + std::string(20, ' ') + std::string(12, 'R') + "\n"},
        {"hard wrap 70", 32, [] { UtilCheq_PrintLongString(CHEQ_ALIGN_LEFT, std::string(70, 'x').c_str()) ; },
         std::string(32, 'x') + "\n" + std::string(32, 'x') + "\n" + std::string(6, 'x') + "\n"},
        {"wrap at space", 20, [] { UtilCheq_PrintLongString(CHEQ_ALIGN_LEFT, "aaaa bbbb cccc dddd eeee ffff") ; },
         "aaaa bbbb cccc dddd\neeee ffff\n"},
        {"wrap at line feed beyond width", 20,
         [] { UtilCheq_PrintLongString(CHEQ_ALIGN_LEFT, "aaaaaaaaaaaaaaaaaaaaaaaa\nbb") ; },
         "aaaaaaaaaaaaaaaaaaaaaaaa\nbb\n"},
        // The stream is the response file: markup goes out as references, a
        // control character as "?"; widths still count the printed characters.
        {"markup centred", 32, [] { UtilCheq_PrintString(CHEQ_ALIGN_CENTER, "<&>", 0) ; },
         std::string(14, ' ') + "&lt;&amp;&gt;\n"},
        {"markup justified", 32, [] { UtilCheq_PrintJustify("A<B", "C&D\x01") ; },
         "A&lt;B" + std::string(25, ' ') + "C&amp;D?\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Capture cap;
        UtilCheq_StartPrinting(cap.file(), c.width);
        c.print();
        EXPECT_EQ(c.expected, cap.text());
    }
}

TEST(UtilCheq, RefusesWithoutStreamAndOverlongText) {
    UtilCheq_StartPrinting(nullptr, 32);
    EXPECT_EQ(1200, UtilCheq_PrintString(CHEQ_ALIGN_LEFT, "x", 0));
    EXPECT_EQ(1200, UtilCheq_EmptyString());
    Capture cap;
    UtilCheq_StartPrinting(cap.file(), 32);
    EXPECT_EQ(1200, UtilCheq_PrintLongString(CHEQ_ALIGN_LEFT, std::string(251, 'x').c_str()));
    EXPECT_EQ("", cap.text());
}

TEST(UtilCheq, AmountInWords) {
    const struct { const char* amount; int currency; const char* words; } cases[] = {
        {"1234.56", 0, "одна тысяча двести тридцать четыре рубля пятьдесят шесть копеек"},
        {"21.00", 1, "двадцать один доллар ноль центов"},
        {"1000000", 2, "один миллион евро"},
        {"0.02", 0, "ноль рублей две копейки"},
        {"0.11", 0, "ноль рублей одиннадцать копеек"},
        {"0.21", 3, "ноль рублей двадцать одна копейка"},
        {"2000", 0, "две тысячи рублей"},
        {"5000", 0, "пять тысяч рублей"},
        {"1001000", 0, "один миллион одна тысяча рублей"},
        {"-15.00", 0, "пятнадцать рублей ноль копеек"},
        {"0.00", 0, "ноль рублей ноль копеек"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.amount);
        char out[234];
        UtilCheq_BigIntToWords(c.amount, out, sizeof(out), c.currency);
        EXPECT_EQ(std::string(c.words), Utf8(out));
    }
}

S_PAY_ORDER MakeSale(uint8_t op, uint8_t pin, const char* pan, const char* amount) {
    S_PAY_ORDER order = {};
    order.ucOpType = op;
    order.ucPINType = pin;
    order.usOriginalCode = 7;
    strcpy(order.szPAN, pan);
    strcpy(order.szCurrency, "BYN");
    strcpy(order.szDateTime, "250203140559");
    strcpy(order.szAuthCode, "A1B2C3");
    strcpy(order.szRRN, "503414070042");
    BigInt_StrToInt(amount, &order.stAmount);
    return order;
}

class CheqBldTest : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&g_Config, 0, sizeof(g_Config));
        strcpy(g_Config.szTerminalId, "T0000001");
        strcpy(g_Config.szBankTitle, "BANK");
        strcpy(g_Config.szBankId, "123");
        g_Config.ucChequeWidth = 32;
        ctx = {};
        ctx.usBatchNo = 4;
        ctx.szBatchOpenedDate = "250203";
        ctx.szPaySysName = "VISA";
    }
    SCheqContext ctx;
};

TEST_F(CheqBldTest, OperationReceiptPinAndSignature) {
    const struct { const char* name; uint8_t op; uint8_t pin; const char* pan; bool signature; const char* mustHave; } cases[] = {
        {"online PIN", OP_SALE, PIN_ONLINE, "4000001234567890", false, "Операция подтверждена ПИН-кодом"},
        {"no PIN", OP_SALE, PIN_NO_ONLINE, "4000001234567890", true, "Операция без ПИН-кода"},
        {"9112 keeps prefix", OP_SALE, PIN_ONLINE, "9112001234567890", false, "9112XXXXXXXX7890"},
        {"other card masked", OP_RETURN, PIN_ONLINE, "4000001234567890", false, "XXXXXXXXXXXX7890"},
        {"cancel", OP_REVERSAL, PIN_NONE, "4000001234567890", true, "КАРТ-ЧЕК № 004/0007R"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        S_PAY_ORDER order = MakeSale(c.op, c.pin, c.pan, "123456");
        Capture cap;
        ASSERT_EQ(0, CheqBld_Operation(&order, cap.file(), 0, &ctx));
        std::string text = cap.text();
        EXPECT_NE(std::string::npos, text.find(c.mustHave)) << text;
        EXPECT_EQ(c.signature, text.find("(подпись держателя)") != std::string::npos) << text;
        EXPECT_NE(std::string::npos, text.find("1 234.56 BYN")) << text;
        EXPECT_EQ(std::string::npos, text.find("4000001234567890")) << "no full card number on a receipt";
    }
}

// Texts from the configuration, the range table, the host and the card may
// hold anything; on the receipt they stay character data of the response.
TEST_F(CheqBldTest, OutsideTextsStayCharacterData) {
    strcpy(g_Config.szBankTitle, "Smith & Co <Ltd>");
    strcpy(g_Config.szBankAddress, "Street\r1");
    ctx.szPaySysName = "M<C>";
    S_PAY_ORDER order = MakeSale(OP_SALE, PIN_ONLINE, "4000001234567890", "100");
    strcpy(order.szAuthCode, "<&>12");
    strcpy(order.szRRN, "R&R>\x02");
    strcpy(order.szAppLabel, "VISA<\x1B>");
    Capture cap;
    ASSERT_EQ(0, CheqBld_Operation(&order, cap.file(), 0, &ctx));
    const std::string text = cap.text();
    for (const char* escaped : {"Smith &amp; Co &lt;Ltd&gt;", "Street&#13;1", "M&lt;C&gt;", "&lt;&amp;&gt;12 R&amp;R&gt;?",
                                "VISA&lt;?&gt;"}) {
        EXPECT_NE(std::string::npos, text.find(escaped)) << escaped << "\n" << text;
    }
    EXPECT_EQ(std::string::npos, text.find('<')) << text;
    for (size_t at = text.find('&'); at != std::string::npos; at = text.find('&', at + 1)) {
        const std::string rest = text.substr(at, 5);
        EXPECT_TRUE(rest.rfind("&amp;", 0) == 0 || rest.rfind("&lt;", 0) == 0 || rest.rfind("&gt;", 0) == 0 ||
                    rest == "&#13;")
            << text.substr(at, 10);
    }
}

TEST_F(CheqBldTest, CancelReceiptShowsTheCancellationTime) {
    S_PAY_ORDER order = MakeSale(OP_REVERSAL, PIN_NONE, "4000001234567890", "100");
    ctx.szHostDateTime = "250204093000";
    Capture cap;
    ASSERT_EQ(0, CheqBld_Operation(&order, cap.file(), 0, &ctx));
    std::string text = cap.text();
    EXPECT_NE(std::string::npos, text.find("ОТМЕНА ОПЛАТЫ"));
    EXPECT_NE(std::string::npos, text.find("04.02.2025")) << text;
    EXPECT_NE(std::string::npos, text.find("09:30")) << text;
}

TEST_F(CheqBldTest, DayReportSections) {
    std::vector<S_PAY_ORDER> journal = {
        MakeSale(OP_SALE, PIN_ONLINE, "XXXXXXXXXXXX1111", "1000"),
        MakeSale(OP_REVERSAL, PIN_NONE, "XXXXXXXXXXXX1111", "1000"),
        MakeSale(OP_RETURN, PIN_ONLINE, "XXXXXXXXXXXX2222", "250"),
    };
    strcpy(journal[2].szCurrency, "USD");
    ctx.pJournal = journal.data();
    ctx.journalCount = journal.size();
    S_PAY_ORDER order = {};
    order.ucOpType = OP_CLOSE_DAY;
    order.usRespCode = 501;
    strcpy(order.szDateTime, "250203220000");
    Capture cap;
    ASSERT_EQ(0, CheqBld_Report(&order, cap.file(), &ctx));
    std::string text = cap.text();
    size_t byn = text.find("ОТЧЕТ № 004-BYN/ОПЛАТА");
    size_t usd = text.find("ОТЧЕТ № 004-USD/ВОЗВРАТ");
    ASSERT_NE(std::string::npos, byn) << text;
    ASSERT_NE(std::string::npos, usd) << text;
    EXPECT_LT(byn, usd);
    EXPECT_EQ(std::string::npos, text.find("USD/ОПЛАТА"));
    EXPECT_NE(std::string::npos, text.find("Выполнено  1:")) << text;
    EXPECT_NE(std::string::npos, text.find("Отменено   1:")) << text;
    EXPECT_NE(std::string::npos, text.find("Итого      2:")) << text;
    EXPECT_NE(std::string::npos, text.find("ноль рублей ноль копеек")) << text;
    EXPECT_NE(std::string::npos, text.find("BDD/n 250203/004 Ac 501"));
    EXPECT_NE(std::string::npos, text.find("НЕСОВПАДЕНИЕ СУММ !!!"));

    g_Config.ucSmallReport = 1;
    Capture small;
    ASSERT_EQ(0, CheqBld_Report(&order, small.file(), &ctx));
    std::string shortText = small.text();
    EXPECT_EQ(std::string::npos, shortText.find("XXXXXXXXXXXX1111"));
    EXPECT_NE(std::string::npos, shortText.find("Итого      2:"));
}

TEST_F(CheqBldTest, EmptyJournalReport) {
    S_PAY_ORDER order = {};
    order.ucOpType = OP_DAY_REPORT;
    strcpy(order.szDateTime, "250203220000");
    Capture cap;
    ASSERT_EQ(0, CheqBld_Report(&order, cap.file(), &ctx));
    std::string text = cap.text();
    EXPECT_NE(std::string::npos, text.find("ИТОГИ № 004"));
    EXPECT_NE(std::string::npos, text.find("НЕТ ОПЕРАЦИЙ"));
}

}  // namespace
