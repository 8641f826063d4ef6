// A headless stand-in for the point-of-sale application: loads the built plug-in
// with QPluginLoader, finds the payment interface by its id and drives it
// against a scripted stand-in launcher "Ravo" in a temporary payment directory.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QPluginLoader>
#include <QPointer>
#include <QTemporaryDir>

#include <functional>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "abstractpaymentprocessing.h"
#include "paymentprocessinganswer.h"

namespace tr {
void PrintTo(const Tr& message, std::ostream* out)
{
    *out << '{' << message.getId().toStdString() << ", " << message.ru().toStdString() << '}';
}
} // namespace tr

namespace {

struct LogLine {
    QtMsgType type;
    QString text;
};

std::vector<LogLine> g_PaymentLog;

void aux_CaptureLog(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (context.category && QByteArray(context.category) == "payment")
        g_PaymentLog.push_back({type, text});
}

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

bool aux_WriteFile(const QString& path, const QByteArray& data, QFile::Permissions permissions = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        return false;
    file.close();
    return permissions ? file.setPermissions(permissions) : true;
}

QByteArray aux_ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QFile::Permissions kExecutable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

// Every stand-in launcher first leaves evidence of how it was started.
const char kLauncherHead[] =
    "#!/bin/sh\n"
    "cp RAVORQ.XML request.seen\n"
    "pwd > cwd.seen\n"
    "printf '%s\\n' \"$@\" > args.seen\n";

// A response in the card system's layout: two-space indentation, receipt lines
// not indented.
const char kSaleResponse[] =
    "<OperationResultRs>\n"
    "  <ResultCode>0</ResultCode>\n"
    "  <ResultText>Одобрено</ResultText>\n"
    "  <TerminalId>12345678</TerminalId>\n"
    "  <ChequeText>\n"
    "ОПЛАТА\n"
    "ИТОГО 10.00 BYN\n"
    "  </ChequeText>\n"
    "  <ChequeCount>2</ChequeCount>\n"
    "  <OriginalCode>42</OriginalCode>\n"
    "  <CardNo>************1234</CardNo>\n"
    "  <DateTime>2024-05-06T10:11:12</DateTime>\n"
    "</OperationResultRs>\n";

const char kSaleReceipt[] = "\nОПЛАТА\nИТОГО 10.00 BYN\n  ";

QByteArray aux_WriteResponse(const QByteArray& xml)
{
    return "cat > RAVORS.XML <<'EOF_RESPONSE'\n" + xml + (xml.endsWith('\n') ? "" : "\n") + "EOF_RESPONSE\n";
}

class PluginHost : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        loader = new QPluginLoader(QStringLiteral(VELMONT_PLUGIN_PATH));
    }

    void SetUp() override
    {
        ASSERT_TRUE(directory.isValid());
        object = loader->instance();
        ASSERT_NE(nullptr, object) << qPrintable(loader->errorString());
        processor = qobject_cast<AbstractPaymentProcessing*>(object);
        ASSERT_NE(nullptr, processor);
        processor->setProcessingDirectory(directory.path());
        g_PaymentLog.clear();
    }

    QString path(const char* name) const { return directory.filePath(QString::fromLatin1(name)); }

    void installLauncher(const QByteArray& body, QFile::Permissions permissions = kExecutable)
    {
        ASSERT_TRUE(aux_WriteFile(path("Ravo"), kLauncherHead + body, permissions));
    }

    bool launcherRan() const { return QFileInfo::exists(path("request.seen")); }

    static QPluginLoader* loader;
    QTemporaryDir directory;
    QObject* object = nullptr;
    AbstractPaymentProcessing* processor = nullptr;
};

QPluginLoader* PluginHost::loader = nullptr;

using Call = std::function<PaymentProcessingAnswer(AbstractPaymentProcessing*)>;

} // namespace

TEST_F(PluginHost, RegistersUnderItsNamesAndKeepsOneInstance)
{
    const QJsonObject meta = loader->metaData();
    EXPECT_EQ(QStringLiteral("VelmontProcessing"), meta.value(QStringLiteral("IID")).toString());
    EXPECT_EQ(QStringLiteral("VelmontProcessing"), meta.value(QStringLiteral("className")).toString());

    void* asBase = object->qt_metacast("BasicPaymentProcessing");
    EXPECT_NE(nullptr, asBase);
    EXPECT_EQ(asBase, object->qt_metacast(AbstractPaymentProcessing_iid));
    EXPECT_EQ(static_cast<void*>(processor), asBase);
    EXPECT_EQ(static_cast<void*>(object), object->qt_metacast("VelmontProcessing"));
    EXPECT_EQ(nullptr, object->qt_metacast("SomethingElse"));

    EXPECT_EQ(object, loader->instance());
    QPointer<QObject> first(object);
    delete object;
    QObject* second = loader->instance();
    ASSERT_NE(nullptr, second) << "a destroyed instance is made again";
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(second, loader->instance());
}

TEST_F(PluginHost, AnswersWhatItSupportsAndKeepsTheBaseForTheRest)
{
    for (int type = 0; type <= 4; ++type) {
        SCOPED_TRACE(type);
        const bool supported = type >= 1 && type <= 3;
        EXPECT_EQ(supported, processor->isPaymentEnable(static_cast<PaymentProcessingRequest::Type>(type)));
        EXPECT_EQ(supported, processor->isCancelEnable(static_cast<PaymentProcessingRequest::Type>(type)));
    }
    EXPECT_TRUE(processor->isCheckTotalsEnable());
    EXPECT_FALSE(processor->isPaymentEnable(QSharedPointer<AbstractDocument>()));

    const PaymentProcessingAnswer change = processor->change(PaymentProcessingRequest());
    EXPECT_EQ(tr::Tr(QStringLiteral("basicPaymentProcessingChange"), U("Операция сдачи недоступна")),
              change.getMessage());
    EXPECT_EQ(QStringLiteral("basicPaymentProcessingDemandPinCode"), processor->demandPinCode().getMessage().getId());

    processor->setOption(static_cast<EPaymentProcessingOption::Option>(0x3), true);
    EXPECT_TRUE(processor->checkOption(static_cast<EPaymentProcessingOption::Option>(0x2)));
}

TEST_F(PluginHost, UnsupportedRequestTypeIsRefusedWithoutARun)
{
    installLauncher(aux_WriteResponse(kSaleResponse));
    const Call calls[] = {
        [](AbstractPaymentProcessing* p) { return p->payment(PaymentProcessingRequest(PaymentProcessingRequest::Undefined, 100)); },
        // Type has no fixed underlying type: a value past its enumerators is undefined, so the cancel is tried with Undefined.
        [](AbstractPaymentProcessing* p) { return p->cancel(PaymentProcessingRequest(PaymentProcessingRequest::Undefined, 100)); },
    };
    for (const Call& call : calls) {
        const PaymentProcessingAnswer answer = call(processor);
        EXPECT_EQ(255, answer.getCode());
        EXPECT_FALSE(answer.isSuccess());
        EXPECT_EQ(tr::Tr(QStringLiteral("undefined"), U("Неподдерживаемая команда со стороны кассы")), answer.getMessage());
    }
    EXPECT_FALSE(launcherRan());
    EXPECT_FALSE(QFileInfo::exists(path("RAVORQ.XML")));
    EXPECT_TRUE(g_PaymentLog.empty());
}

TEST_F(PluginHost, WritesTheRequestOfEachCall)
{
    struct Case {
        const char* name;
        Call call;
        const char* request;
    };
    using R = PaymentProcessingRequest;
    const Case cases[] = {
        {"payment of a sale", [](auto* p) { return p->payment(R(R::Sale, 1000)); },
         "<OperationDataRq>\n <OperationType>Sale</OperationType>\n <Amount>1000</Amount>\n"
         " <Currency>BYN</Currency>\n</OperationDataRq>\n"},
        {"payment of a refund", [](auto* p) { return p->payment(R(R::Refund, 250)); },
         "<OperationDataRq>\n <OperationType>Return</OperationType>\n <Amount>250</Amount>\n"
         " <Currency>BYN</Currency>\n</OperationDataRq>\n"},
        {"payment of a refund without receipt, negative amount",
         [](auto* p) { return p->payment(R(R::RefundWithoutReceipt, -7)); },
         "<OperationDataRq>\n <OperationType>Return</OperationType>\n <Amount>-7</Amount>\n"
         " <Currency>BYN</Currency>\n</OperationDataRq>\n"},
        {"cancel of a sale", [](auto* p) { return p->cancel(R(R::Sale, 1000, QStringLiteral("42"))); },
         "<OperationDataRq>\n <OperationType>Reversal</OperationType>\n <Amount>1000</Amount>\n"
         " <Currency>BYN</Currency>\n <OriginalCode>42</OriginalCode>\n</OperationDataRq>\n"},
        {"cancel of a refund", [](auto* p) { return p->cancel(R(R::Refund, 250, QStringLiteral("9"))); },
         "<OperationDataRq>\n <OperationType>ReverseLast</OperationType>\n <Amount>250</Amount>\n"
         "</OperationDataRq>\n"},
        {"day close", [](auto* p) { return p->checkTotals(3); },
         "<OperationDataRq>\n <OperationType>CloseDay</OperationType>\n</OperationDataRq>\n"},
        {"full report", [](auto* p) { return p->printReport(); },
         "<OperationDataRq>\n <OperationType>DayReport</OperationType>\n"
         " <DetailReport>ChequeFull</DetailReport>\n</OperationDataRq>\n"},
        {"short report", [](auto* p) { return p->printShortReport(); },
         "<OperationDataRq>\n <OperationType>DayReport</OperationType>\n</OperationDataRq>\n"},
        {"balance", [](auto* p) { return p->balance(QStringLiteral("ignored")); },
         "<OperationDataRq>\n <OperationType>Balance</OperationType>\n <Currency>BYN</Currency>\n"
         "</OperationDataRq>\n"},
        {"link test", [](auto* p) { return p->testConnection(); },
         "<OperationDataRq>\n <OperationType>TestBank</OperationType>\n</OperationDataRq>\n"},
    };
    installLauncher(aux_WriteResponse(kSaleResponse));
    const QString requestPath = QFileInfo(path("RAVORQ.XML")).absoluteFilePath();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(path("request.seen"));
        const PaymentProcessingAnswer answer = c.call(processor);
        EXPECT_TRUE(answer.isSuccess()) << qPrintable(answer.getMessage().ru());
        EXPECT_EQ(QByteArray(c.request), aux_ReadFile(path("request.seen")));
        EXPECT_EQ(requestPath + QLatin1Char('\n'), QString::fromUtf8(aux_ReadFile(path("args.seen"))));
        EXPECT_EQ(QDir(directory.path()).canonicalPath() + QLatin1Char('\n'),
                  QString::fromUtf8(aux_ReadFile(path("cwd.seen"))));
    }
}

TEST_F(PluginHost, CurrencyComesFromTheSettingsFileOfTheDirectory)
{
    installLauncher(aux_WriteResponse(kSaleResponse));
    ASSERT_TRUE(QDir(directory.path()).mkdir(QStringLiteral("DATA")));
    ASSERT_TRUE(aux_WriteFile(path("DATA/CONFIG.INI"), "TERMINALID=12345678\nBaseCurrency=USD\n"));
    processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 5));
    EXPECT_TRUE(aux_ReadFile(path("request.seen")).contains(" <Currency>USD</Currency>\n"));

    // The card system rewrites its settings between runs; the next run sees the change.
    ASSERT_TRUE(aux_WriteFile(path("DATA/CONFIG.INI"), "BaseCurrency=EUR\n"));
    processor->balance(QString());
    EXPECT_TRUE(aux_ReadFile(path("request.seen")).contains(" <Currency>EUR</Currency>\n"));
}

// The key is read the way the card system reads it: a till configured as its
// README shows (BASECURRENCY=USD) must not be charged in BYN.
TEST_F(PluginHost, CurrencyIsReadAsTheCardSystemReadsIt)
{
    installLauncher(aux_WriteResponse(kSaleResponse));
    ASSERT_TRUE(QDir(directory.path()).mkdir(QStringLiteral("DATA")));
    const struct {
        const char* name;
        const char* config;  // null: no CONFIG.INI
        const char* currency;
    } cases[] = {
        {"upper-case key", "TERMINALID=12345678\nBASECURRENCY=USD\n", "USD"},
        {"any case, blanks around", "  basecurrency = EUR  \n", "EUR"},
        {"last line wins, CRLF lines", "BASECURRENCY=USD\r\nBaseCurrency=RUB\r\n", "RUB"},
        {"comment lines", "; BASECURRENCY=USD\n#BASECURRENCY=USD\n-BASECURRENCY=USD\nHOST=1\n", "BYN"},
        {"old rouble is BYN", "BASECURRENCY=BYR\n", "BYN"},
        {"any BY value is BYN", "BASECURRENCY=by\n", "BYN"},
        // The card system sends the ISO number of the code; small letters have none.
        {"small letters go out in capitals", "basecurrency=usd\n", "USD"},
        {"mixed case", "BaseCurrency=eUr\n", "EUR"},
        {"empty value", "BASECURRENCY=\n", "BYN"},
        {"no such key", "BASE_CURRENCY=USD\n", "BYN"},
        {"no file", nullptr, "BYN"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(path("DATA/CONFIG.INI"));
        if (c.config) {
            ASSERT_TRUE(aux_WriteFile(path("DATA/CONFIG.INI"), c.config));
        }
        processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 5));
        const QByteArray request = aux_ReadFile(path("request.seen"));
        EXPECT_TRUE(request.contains(" <Currency>" + QByteArray(c.currency) + "</Currency>\n")) << request.constData();
    }
}

TEST_F(PluginHost, MapsTheResponseIntoTheAnswer)
{
    struct Case {
        const char* name;
        QByteArray launcherBody;
        bool success;
        int code;
        const char* message;
        int copies;
        const char* cardNumber;
        const char* authorizationCode;
        int terminal;
    };
    QByteArray sale(kSaleResponse);
    auto edited = [&sale](const char* from, const char* to) {
        return aux_WriteResponse(QByteArray(sale).replace(from, to));
    };
    const char* const fail = "Ошибка разбора файла ответа";
    const Case cases[] = {
        {"approved sale with two copies", aux_WriteResponse(sale), true, 0, "Одобрено", 2, "************1234", "42",
         12345678},
        {"declined with code 05", edited("<ResultCode>0<", "<ResultCode>05<"), false, 5, "Одобрено", 2,
         "************1234", "42", 12345678},
        {"no ChequeCount gives no images", edited("  <ChequeCount>2</ChequeCount>\n", ""), true, 0, "Одобрено", 0,
         "************1234", "42", 12345678},
        {"zero copies", edited("<ChequeCount>2<", "<ChequeCount>0<"), true, 0, "Одобрено", 0, "************1234",
         "42", 12345678},
        {"negative copies", edited("<ChequeCount>2<", "<ChequeCount>-1<"), true, 0, "Одобрено", 0,
         "************1234", "42", 12345678},
        {"copies not a number", edited("<ChequeCount>2<", "<ChequeCount>two<"), true, 0, "Одобрено", 0,
         "************1234", "42", 12345678},
        {"absurd copy count is capped", edited("<ChequeCount>2<", "<ChequeCount>2000000000<"), true, 0, "Одобрено",
         10, "************1234", "42", 12345678},
        {"terminal id not a number", edited("<TerminalId>12345678<", "<TerminalId>T1<"), true, 0, "Одобрено", 2,
         "************1234", "42", 0},
        // A cancel tried again after its first answer was lost: the sale is cancelled.
        {"cancel of a sale cancelled before", edited("<ResultCode>0<", "<ResultCode>1503<"), true, 1503, "Одобрено", 2,
         "************1234", "42", 12345678},
        // The library refused the call, another one running: the response there is that call's.
        {"launcher says another call runs", aux_WriteResponse(sale) + "exit 251\n", false, 1072,
         "ОТКЛОНЕНО ТЕРМИНАЛ ЗАНЯТ ДРУГОЙ ОПЕРАЦИЕЙ", 0, "", "", 0},
        {"root found below another element", aux_WriteResponse("<Envelope><OperationResultRs><ResultCode>1101</"
                                                               "ResultCode></OperationResultRs></Envelope>"),
         false, 1101, "", 0, "", "", 0},
        {"malformed XML", edited("</ResultText>", "</ResultTxt>"), false, 0, fail, 0, "", "", 0},
        {"escaped markup comes back as text", edited("Одобрено", "A &lt;B&gt; &amp; C&#13;"), true, 0,
         "A <B> & C\r", 2, "************1234", "42", 12345678},
        // Older libraries wrote values unescaped: a bare "&" must not turn an approval into a failure.
        {"unescaped ampersand beside a reference", edited("Одобрено", "A & B &amp; C&#1040;"), true, 0,
         "A & B & CА", 2, "************1234", "42", 12345678},
        {"stray less-than sign", edited("Одобрено", "A < B"), false, 0, fail, 0, "", "", 0},
        {"missing ResultCode", edited("  <ResultCode>0</ResultCode>\n", ""), false, 0,
         "Ошибка получения кода статуса", 0, "", "", 0},
        {"ResultCode not a number", edited("<ResultCode>0<", "<ResultCode>OK<"), false, 0,
         "Ошибка получения кода статуса", 0, "", "", 0},
        {"no response root", aux_WriteResponse("<Other/>"), false, 0, "Ошибка получения кода статуса", 0, "", "", 0},
        {"non-zero exit still reads the response", aux_WriteResponse(sale) + "echo oops >&2\nexit 3\n", true, 0,
         "Одобрено", 2, "************1234", "42", 12345678},
        {"no response although Ravo answered 0", "exit 0\n", false, 0, "Ошибка чтения файла статуса операции", 0, "",
         "", 0},
        {"launcher killed by a signal", "kill -SEGV $$\n", false, 0, "Ошибка процесса оплаты", 0, "", "", 0},
        // The library answers and books the sale before the card is taken: a
        // crash after that must not tell the cashier to take the payment again.
        {"crash after the response was written", aux_WriteResponse(sale) + "kill -SEGV $$\n", true, 0, "Одобрено", 2,
         "************1234", "42", 12345678},
        {"crash after a declined response", edited("<ResultCode>0<", "<ResultCode>116<") + "kill -SEGV $$\n", false,
         116, "Одобрено", 2, "************1234", "42", 12345678},
        // What an older library, killed while writing, could leave: the crash stands.
        {"crash leaving half a response", "printf '<OperationResultRs>\\n  <ResultCode>0</ResultCode>\\n' > RAVORS.XML\n"
                                          "kill -SEGV $$\n",
         false, 0, "Ошибка процесса оплаты", 0, "", "", 0},
        {"crash leaving a response without a code", aux_WriteResponse("<OperationResultRs/>") + "kill -SEGV $$\n",
         false, 0, "Ошибка процесса оплаты", 0, "", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        installLauncher(c.launcherBody);
        const PaymentProcessingAnswer answer = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1000));
        EXPECT_EQ(c.success, answer.isSuccess());
        EXPECT_EQ(c.code, answer.getCode());
        EXPECT_EQ(tr::Tr(QStringLiteral("undefined"), U(c.message)), answer.getMessage());
        EXPECT_EQ(QStringList(QVector<QString>(c.copies, U(kSaleReceipt)).toList()), answer.getPrintImages());
        EXPECT_EQ(U(c.cardNumber), answer.getCardNumber());
        EXPECT_EQ(U(c.authorizationCode), answer.getAuthorizationCode());
        EXPECT_EQ(U(c.authorizationCode), answer.getRRN());
        EXPECT_EQ(c.terminal, answer.getTerminalNumber());
        EXPECT_TRUE(answer.getCardType().isEmpty());
        EXPECT_EQ(0.0, answer.getSum());
    }
}

TEST_F(PluginHost, AnOlderResponseIsNeverTakenForThisRun)
{
    // The previous operation was approved; this launcher fails before the
    // library could answer, so nothing about that old approval may come back.
    ASSERT_TRUE(aux_WriteFile(path("RAVORS.XML"), kSaleResponse));
    installLauncher("exit 252\n");
    const PaymentProcessingAnswer answer = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1));
    EXPECT_TRUE(launcherRan());
    EXPECT_FALSE(answer.isSuccess());
    EXPECT_EQ(-4, answer.getCode());
    EXPECT_TRUE(answer.getPrintImages().isEmpty());
}

// A call made while another operation runs in the directory, through this
// plug-in or by anyone else starting Ravo, is answered busy at once: the
// request, the response and the last receipt stay the running call's, and no
// launcher is started. Once the other call ends, the next call runs.
TEST_F(PluginHost, ASecondCallWhileOneRunsTouchesNothing)
{
    const struct {
        const char* holder;
        const char* lockFile;
    } cases[] = {
        {"another run of the plug-in", "RAVOPLUG.LCK"},
        {"a call of the card system", "DATA/RAVO.LCK"},
    };
    ASSERT_TRUE(QDir(directory.path()).mkpath(QStringLiteral("DATA")));
    installLauncher(aux_WriteResponse(kSaleResponse));
    const QByteArray otherRequest = "<OperationDataRq><OperationType>Sale</OperationType></OperationDataRq>\n";
    const QByteArray otherResponse = "<OperationResultRs><ResultCode>0</ResultCode></OperationResultRs>\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.holder);
        ASSERT_TRUE(aux_WriteFile(path("RAVORQ.XML"), otherRequest));
        ASSERT_TRUE(aux_WriteFile(path("RAVORS.XML"), otherResponse));
        ASSERT_TRUE(aux_WriteFile(path("RAVORS.LAST.XML"), otherResponse));
        QFile::remove(path("request.seen"));
        const int held = ::open(QFile::encodeName(path(c.lockFile)).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_LE(0, held);
        ASSERT_EQ(0, ::flock(held, LOCK_EX | LOCK_NB));

        QElapsedTimer timer;
        timer.start();
        const PaymentProcessingAnswer answer = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 700));
        EXPECT_LT(timer.elapsed(), 1000);
        EXPECT_FALSE(answer.isSuccess());
        EXPECT_EQ(1072, answer.getCode());
        EXPECT_EQ(tr::Tr(QStringLiteral("undefined"), U("ОТКЛОНЕНО ТЕРМИНАЛ ЗАНЯТ ДРУГОЙ ОПЕРАЦИЕЙ")), answer.getMessage());
        EXPECT_TRUE(answer.getPrintImages().isEmpty());
        EXPECT_FALSE(launcherRan());
        EXPECT_EQ(otherRequest, aux_ReadFile(path("RAVORQ.XML")));
        EXPECT_EQ(otherResponse, aux_ReadFile(path("RAVORS.XML")));
        EXPECT_EQ(otherResponse, aux_ReadFile(path("RAVORS.LAST.XML")));

        ::close(held);
        const PaymentProcessingAnswer next = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 700));
        EXPECT_TRUE(launcherRan());
        EXPECT_TRUE(next.isSuccess()) << qPrintable(next.getMessage().ru());
    }
}

// A launcher that stops without the library's answer reaches the cashier as
// a failure with its own text and a code of its own, never as code 0.
TEST_F(PluginHost, EachExitStatusOfTheLauncherHasItsText)
{
    const struct {
        const char* body;
        int code;
        const char* text;
    } cases[] = {
        {"exit 255\n", -1, "Не загружена библиотека оплаты libRAVOux.so (код завершения Ravo 255)"},
        {"exit 254\n", -2, "В библиотеке оплаты libRAVOux.so нет функции PerformCardOperation (код завершения Ravo 254)"},
        {"exit 253\n", -3, "Файл запроса RAVORQ.XML не прочитан: его нет, он пуст или больше 2048 байт (код завершения "
                          "Ravo 253)"},
        {"exit 252\n", -4, "Библиотека оплаты не дала ответа: проверьте каталоги DATA и LOG (есть ли они и доступны ли "
                          "для записи) и свободное место на диске, причина записана в журнале LOG (код завершения Ravo "
                          "252)"},
        {"echo 'Ravo: ./libRAVOux.so not loaded' >&2\nexit 9\n", 9, "Программа Ravo завершилась с кодом 9 без ответа"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        installLauncher(c.body);
        g_PaymentLog.clear();
        const PaymentProcessingAnswer answer = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1));
        EXPECT_FALSE(answer.isSuccess());
        EXPECT_EQ(c.code, answer.getCode());
        EXPECT_EQ(tr::Tr(QStringLiteral("undefined"), U(c.text)), answer.getMessage());
        QString log;
        for (const LogLine& line : g_PaymentLog)
            log += line.text + QLatin1Char('\n');
        EXPECT_TRUE(log.contains(U(c.text))) << qPrintable(log);
        if (c.code == 9) {
            EXPECT_TRUE(log.contains(QStringLiteral("Ravo: ./libRAVOux.so not loaded")))
                << "what the launcher said on standard error is in the plug-in's log";
        }
    }
}

TEST_F(PluginHost, AnUnwritableRequestStopsTheRun)
{
    struct Case {
        const char* name;
        std::function<bool(const QString&)> block;  // makes RAVORQ.XML unwritable
        bool requestLeftBehind;
    };
    const Case cases[] = {
        // A directory cannot be opened for writing, even by root.
        {"directory in its place", [](const QString& p) { return QDir().mkdir(p); }, true},
        // Opens fine, fails when the data reach the disk: the half-written file must go.
        {"disk full", [](const QString& p) { return QFile::link(QStringLiteral("/dev/full"), p); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir own;
        processor->setProcessingDirectory(own.path());
        const QString requestPath = own.filePath(QStringLiteral("RAVORQ.XML"));
        ASSERT_TRUE(c.block(requestPath));
        ASSERT_TRUE(aux_WriteFile(own.filePath(QStringLiteral("Ravo")),
                                  kLauncherHead + aux_WriteResponse(kSaleResponse), kExecutable));
        g_PaymentLog.clear();

        const PaymentProcessingAnswer answer =
            processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1));
        EXPECT_FALSE(QFileInfo::exists(own.filePath(QStringLiteral("request.seen")))) << "the launcher must not run";
        EXPECT_EQ(c.requestLeftBehind, QFileInfo(requestPath).exists() || QFileInfo(requestPath).isSymLink());
        EXPECT_FALSE(answer.isSuccess());
        EXPECT_EQ(0, answer.getCode());
        EXPECT_EQ(tr::Tr(QStringLiteral("undefined"), U("Ошибка записи файла запроса")), answer.getMessage());
        ASSERT_FALSE(g_PaymentLog.empty());
        EXPECT_EQ(QtCriticalMsg, g_PaymentLog.back().type);
        EXPECT_TRUE(g_PaymentLog.back().text.startsWith(U("Ошибка записи файла запроса '") + requestPath + U("': ")))
            << qPrintable(g_PaymentLog.back().text);
    }
}

TEST_F(PluginHost, RefusesAMissingOrNonExecutableLauncher)
{
    const QString program = directory.path() + QStringLiteral("/./Ravo");
    struct Case {
        const char* name;
        bool present;
        QFile::Permissions permissions;
        QString message;
    };
    const Case cases[] = {
        {"missing", false, kExecutable, U("Не найден исполняемый файл '%1'").arg(program)},
        {"not executable", true, QFile::ReadOwner | QFile::WriteOwner,
         U("Файл '%1' не имеет прав на исполнение").arg(program)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(path("Ravo"));
        if (c.present)
            installLauncher(aux_WriteResponse(kSaleResponse), c.permissions);
        g_PaymentLog.clear();
        const PaymentProcessingAnswer answer = processor->checkTotals(0);
        EXPECT_FALSE(launcherRan());
        EXPECT_FALSE(answer.isSuccess());
        EXPECT_EQ(0, answer.getCode());
        EXPECT_EQ(tr::Tr(QStringLiteral("undefined"), c.message), answer.getMessage());
        ASSERT_FALSE(g_PaymentLog.empty());
        EXPECT_EQ(QtCriticalMsg, g_PaymentLog.back().type);
        EXPECT_EQ(c.message, g_PaymentLog.back().text);
    }
}

TEST_F(PluginHost, ALauncherThatCannotStartIsAProcessError)
{
    ASSERT_TRUE(aux_WriteFile(path("Ravo"), "#!/nonexistent/interpreter\n", kExecutable));
    const PaymentProcessingAnswer answer = processor->printShortReport();
    EXPECT_FALSE(answer.isSuccess());
    EXPECT_EQ(U("Ошибка процесса оплаты"), answer.getMessage().ru());
}

TEST_F(PluginHost, LogsEveryStepOfASuccessfulRun)
{
    installLauncher("echo started\n" + aux_WriteResponse(kSaleResponse) + "echo broken >&2\nexit 4\n");
    processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1000));
    const QString request = QStringLiteral(
        "<OperationDataRq>\n <OperationType>Sale</OperationType>\n <Amount>1000</Amount>\n"
        " <Currency>BYN</Currency>\n</OperationDataRq>\n");
    const std::vector<LogLine> expected = {
        {QtInfoMsg, U("Запуск програмы с параметрами")},
        {QtInfoMsg, U("Запрос: ") + request},
        {QtDebugMsg, U("Сохрание файла запроса")},
        {QtDebugMsg, U("Вывод команды, stdout: \"started\n\"")},
        {QtCriticalMsg, U("Команда завершена с кодом ошибки (4), stderror: \"broken\n\"")},
        {QtDebugMsg, U(kSaleResponse)},
        {QtInfoMsg, U("Код статуса: 0; Описание: Одобрено; Выполнено успешно")},
        {QtInfoMsg, U("Номер карты: ************1234; Тип карты: ; Код авторизации: 42")},
    };
    ASSERT_EQ(expected.size(), g_PaymentLog.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].type, g_PaymentLog[i].type);
        EXPECT_EQ(expected[i].text, g_PaymentLog[i].text);
    }
}

TEST_F(PluginHost, LogsAParseErrorWithItsPlace)
{
    installLauncher(aux_WriteResponse("<OperationResultRs>\n  <ResultCode>0</Result>\n</OperationResultRs>\n"));
    processor->balance(QString());
    ASSERT_FALSE(g_PaymentLog.empty());
    const LogLine& last = g_PaymentLog.back();
    EXPECT_EQ(QtCriticalMsg, last.type);
    EXPECT_TRUE(last.text.startsWith(U("Ошибка разбора XML в 2:"))) << qPrintable(last.text);
}

TEST_F(PluginHost, LinkTestAnswersTheResultText)
{
    installLauncher(aux_WriteResponse("<OperationResultRs><ResultCode>1087</ResultCode>"
                                      "<ResultText>НЕТ СВЯЗИ</ResultText></OperationResultRs>"));
    const PaymentProcessingAnswer answer = processor->testConnection();
    EXPECT_FALSE(answer.isSuccess());
    EXPECT_EQ(1087, answer.getCode());
    EXPECT_EQ(tr::Tr(QStringLiteral("undefined"), U("НЕТ СВЯЗИ")), answer.getMessage());
}

// The reprint is the last receipt the card system answered with, approved or
// declined, read back from the plug-in's own copy: nothing is run for it.
TEST_F(PluginHost, ReprintsTheLastReceiptWithoutARun)
{
    QByteArray sale(kSaleResponse);
    const QByteArray declined = QByteArray(sale).replace("<ResultCode>0<", "<ResultCode>116<")
                                    .replace("ОПЛАТА\n", "ОТКАЗ\n").replace("<ChequeCount>2<", "<ChequeCount>1<");
    const QString saleCopy = U("КОПИЯ\n") + U(kSaleReceipt);
    const QString declinedCopy = U("КОПИЯ\n\nОТКАЗ\nИТОГО 10.00 BYN\n  ");
    const struct {
        const char* name;
        QByteArray launcherBody;  // empty: no run before the reprint
        QStringList images;
    } steps[] = {
        {"approved sale", aux_WriteResponse(sale), {saleCopy, saleCopy}},
        {"a second copy of the same", QByteArray(), {saleCopy, saleCopy}},
        {"a response without a receipt leaves the last one",
         aux_WriteResponse(QByteArray(sale).replace("  <ChequeCount>2</ChequeCount>\n", "")), {saleCopy, saleCopy}},
        {"a declined receipt is the last one", aux_WriteResponse(declined), {declinedCopy}},
        {"a run without a response leaves the last one", "exit 255\n", {declinedCopy}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        if (!step.launcherBody.isEmpty()) {
            installLauncher(step.launcherBody);
            processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1000));
            ASSERT_TRUE(launcherRan());
            QFile::remove(path("request.seen"));
        }
        const PaymentProcessingAnswer answer = processor->printCopy(1);
        EXPECT_FALSE(launcherRan());
        EXPECT_TRUE(answer.isSuccess()) << qPrintable(answer.getMessage().ru());
        EXPECT_EQ(0, answer.getCode());
        EXPECT_EQ(step.images, answer.getPrintImages());
        EXPECT_EQ(QStringLiteral("************1234"), answer.getCardNumber());
    }
}

TEST_F(PluginHost, RefusesAReprintWithoutAReadableLastReceipt)
{
    const char* const unreadable = "Ошибка чтения чека последней операции";
    const struct {
        const char* name;
        std::function<bool(const QString&)> make;  // puts something at RAVORS.LAST.XML
        const char* message;
    } cases[] = {
        {"none yet", [](const QString&) { return true; }, "Нет чека последней операции для печати копии"},
        {"not XML", [](const QString& p) { return aux_WriteFile(p, "<OperationResultRs><ResultCode>0"); }, unreadable},
        {"no result code", [](const QString& p) { return aux_WriteFile(p, "<OperationResultRs/>"); }, unreadable},
        {"no receipt",
         [](const QString& p) {
             return aux_WriteFile(p, QByteArray(kSaleResponse).replace("  <ChequeCount>2</ChequeCount>\n", ""));
         },
         unreadable},
        {"a directory", [](const QString& p) { return QDir().mkdir(p); }, unreadable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir own;
        processor->setProcessingDirectory(own.path());
        ASSERT_TRUE(c.make(own.filePath(QStringLiteral("RAVORS.LAST.XML"))));
        const PaymentProcessingAnswer answer = processor->printCopy(1);
        EXPECT_FALSE(answer.isSuccess());
        EXPECT_EQ(0, answer.getCode());
        EXPECT_EQ(tr::Tr(QStringLiteral("undefined"), U(c.message)), answer.getMessage());
        EXPECT_TRUE(answer.getPrintImages().isEmpty());
    }
}

// Same plug-in, built with a run limit of 1.5 s instead of five minutes.
class PluginHostTimeout : public ::testing::Test {
protected:
    void SetUp() override
    {
        processor = qobject_cast<AbstractPaymentProcessing*>(loader.instance());
        ASSERT_NE(nullptr, processor) << qPrintable(loader.errorString());
        processor->setProcessingDirectory(directory.path());
        g_PaymentLog.clear();
    }

    // A launcher that runs script and then outlives the limit.
    bool installSlowLauncher(const QByteArray& script)
    {
        return aux_WriteFile(directory.filePath(QStringLiteral("Ravo")),
                             QByteArray(kLauncherHead) + script + "exec sleep 30\n", kExecutable);
    }

    QPluginLoader loader{QStringLiteral(VELMONT_SHORT_LIMIT_PLUGIN_PATH)};
    AbstractPaymentProcessing* processor = nullptr;
    QTemporaryDir directory;
};

TEST_F(PluginHostTimeout, ALauncherOverTheLimitIsKilled)
{
    ASSERT_TRUE(installSlowLauncher("echo waiting\n"));

    QElapsedTimer timer;
    timer.start();
    const PaymentProcessingAnswer answer = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1));
    EXPECT_LT(timer.elapsed(), 10000);
    EXPECT_FALSE(answer.isSuccess());
    EXPECT_EQ(0, answer.getCode());
    const QString text = U("Истёк таймаут (5 мин) выполнения команды. Процесс принудительно завершен");
    EXPECT_EQ(tr::Tr(QStringLiteral("undefined"), text), answer.getMessage());
    ASSERT_GE(g_PaymentLog.size(), 2u);
    EXPECT_EQ(U("Вывод команды, stdout: \"waiting\n\""), g_PaymentLog[g_PaymentLog.size() - 2].text);
    EXPECT_EQ(text, g_PaymentLog.back().text);
    EXPECT_EQ(QtCriticalMsg, g_PaymentLog.back().type);
}

TEST_F(PluginHostTimeout, AnAnswerWrittenBeforeTheLimitIsTheAnswer)
{
    // The library has answered and now waits for the cardholder to take the
    // card when the plug-in's limit kills the launcher.
    ASSERT_TRUE(installSlowLauncher(aux_WriteResponse(kSaleResponse)));

    const PaymentProcessingAnswer answer = processor->payment(PaymentProcessingRequest(PaymentProcessingRequest::Sale, 1));
    EXPECT_TRUE(answer.isSuccess()) << qPrintable(answer.getMessage().ru());
    EXPECT_EQ(tr::Tr(QStringLiteral("undefined"), U("Одобрено")), answer.getMessage());
    EXPECT_EQ(QStringLiteral("42"), answer.getAuthorizationCode());
    EXPECT_EQ(2, answer.getPrintImages().size());
    // The kill is still logged as what it was.
    bool killLogged = false;
    for (const LogLine& line : g_PaymentLog)
        killLogged |= line.type == QtCriticalMsg
            && line.text == U("Истёк таймаут (5 мин) выполнения команды. Процесс принудительно завершен");
    EXPECT_TRUE(killLogged);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(aux_CaptureLog);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
