#include "velmontprocessing.h"
#include "velmontresponse.h"

#include <QDomDocument>
#include <QDomElement>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <log4qt/logger.h>
#include <log4qt/logmanager.h>

#include "support/result_codes.h"

// The launcher gets five minutes; a test build of the plug-in shortens the
// limit at compile time so that the time-out path can be exercised.
#ifndef VELMONT_RUN_LIMIT_MS
#define VELMONT_RUN_LIMIT_MS 300000
#endif

namespace {

// The payment directory the ravo package lays out (the build passes it).
const char kDefaultDirectory[] = VELMONT_PAYMENT_DIRECTORY "/";
const char kSettingsFile[] = "DATA/CONFIG.INI";
const char kRequestFile[] = "RAVORQ.XML";
const char kResponseFile[] = "RAVORS.XML";
const char kProgram[] = "./Ravo";
// RAVORS.XML is removed before every run, so the plug-in keeps its own copy
// of the last response that carried a receipt, for the cashier's reprint.
const char kLastResponseFile[] = "RAVORS.LAST.XML";
const char kCopyMark[] = "КОПИЯ\n";
const int kRunLimitMs = VELMONT_RUN_LIMIT_MS;
// One run at a time in a payment directory, among every plug-in (process or
// thread) that uses it: the runs share the request and response files.
const char kRunLockFile[] = "RAVOPLUG.LCK";
// The card system's own lock, held by a call of its library from start to end.
const char kLibraryLockFile[] = "DATA/RAVO.LCK";
// The answer's text when another operation holds the payment directory, as
// the card system words it for its code.
const char kBusyText[] = "ОТКЛОНЕНО ТЕРМИНАЛ ЗАНЯТ ДРУГОЙ ОПЕРАЦИЕЙ";

QString aux_Ru(const char* utf8) { return QString::fromUtf8(utf8); }

// What the cashier is told when the launcher ended without a response: one
// row per exit status of Ravo, the answer's code its status as Ravo's main
// returns it (negative, so never a bank's or the library's code).
struct LaunchFailure {
    int status;
    const char* text;
};
const LaunchFailure kLaunchFailures[] = {
    {RES_LAUNCH_NO_LIBRARY, "Не загружена библиотека оплаты libRAVOux.so (код завершения Ravo 255)"},
    {RES_LAUNCH_NO_ENTRY, "В библиотеке оплаты libRAVOux.so нет функции PerformCardOperation (код завершения Ravo 254)"},
    {RES_LAUNCH_REQUEST, "Файл запроса RAVORQ.XML не прочитан: его нет, он пуст или больше 2048 байт (код завершения Ravo 253)"},
    {RES_LAUNCH_NO_RESPONSE, "Библиотека оплаты не дала ответа: проверьте каталоги DATA и LOG (есть ли они и доступны ли "
                             "для записи) и свободное место на диске, причина записана в журнале LOG (код завершения Ravo 252)"},
};

// The answer to a run whose launcher ended with a non-zero exit code and left no response.
PaymentProcessingAnswer aux_LaunchFailure(int exitCode)
{
    PaymentProcessingAnswer answer;
    for (const LaunchFailure& f : kLaunchFailures) {
        if ((f.status & 0xFF) == exitCode) {
            answer.setMessage(VelmontResponse_OwnMessage(aux_Ru(f.text)));
            answer.setCode(f.status);
            return answer;
        }
    }
    answer.setMessage(VelmontResponse_OwnMessage(aux_Ru("Программа Ravo завершилась с кодом %1 без ответа").arg(exitCode)));
    answer.setCode(exitCode);
    return answer;
}

void aux_AppendText(QDomDocument& doc, QDomElement& root, const QString& name, const QString& value)
{
    QDomElement element = doc.createElement(name);
    element.appendChild(doc.createTextNode(value));
    root.appendChild(element);
}

// Writes the whole text or leaves no request file behind: the launcher must
// never pick up an older request after a failed write.
bool aux_WriteRequest(const QString& path, const QByteArray& data, QString& errorText)
{
    QFile file(path);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(data) == data.size()
        && file.flush();
    if (written)
        written = file.error() == QFileDevice::NoError;
    if (!written)
        errorText = file.errorString();
    file.close();
    if (written && file.error() != QFileDevice::NoError) {
        written = false;
        errorText = file.errorString();
    }
    if (!written)
        QFile::remove(path);
    return written;
}

// The base currency as the card system itself reads it from its CONFIG.INI:
// key names in any case (the file says BASECURRENCY), a line that starts with
// ";", "#" or "-" is a comment, the value is trimmed, the last line of the key
// wins, and a value beginning with "BY" (either denomination of the rouble) is
// BYN. Sending "BYR" would make the library divide the amount by 100.
QString aux_BaseCurrency(const QString& path)
{
    QByteArray currency;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray& rawLine : file.readAll().split('\n')) {
            const QByteArray line = rawLine.trimmed();
            const int equals = line.indexOf('=');
            if (equals <= 0 || line.startsWith(';') || line.startsWith('#') || line.startsWith('-'))
                continue;
            if (line.left(equals).trimmed().toUpper() == "BASECURRENCY")
                currency = line.mid(equals + 1).trimmed();
        }
    }
    // The code goes out in capitals, as ISO 4217 writes it: "usd" is USD.
    currency = currency.toUpper();
    if (currency.isEmpty() || currency.startsWith("BY"))
        return QStringLiteral("BYN");
    return QString::fromLatin1(currency);
}

// An exclusive flock() on a file, taken without waiting and held for the
// object's life; the kernel drops it when the process ends, however it ends.
class RunLock
{
public:
    explicit RunLock(const QString& path)
    {
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            error = errno;
            return;
        }
        int rc;
        do
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        while (rc != 0 && errno == EINTR);
        if (rc == 0)
            return;
        error = errno;
        ::close(fd);
        fd = -1;
    }
    ~RunLock()
    {
        if (fd >= 0) {
            ::flock(fd, LOCK_UN);
            ::close(fd);
        }
    }
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    bool held() const { return fd >= 0; }
    // Another holder has it (as opposed to a file that could not be used).
    bool busy() const { return error == EWOULDBLOCK; }
    int errorNumber() const { return error; }

private:
    int fd = -1;
    int error = 0;
};

// True while a call of the card system holds its lock: someone other than
// this plug-in started Ravo in the directory. Probed and released at once.
bool aux_LibraryBusy(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;  // never made: no call has run here yet
    int rc;
    do
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    const bool busy = rc != 0 && errno == EWOULDBLOCK;
    if (rc == 0)
        ::flock(fd, LOCK_UN);
    ::close(fd);
    return busy;
}

// The answer to a call made while another operation runs: the card system's
// busy code and text; nothing was written, removed or started.
PaymentProcessingAnswer aux_BusyAnswer(Log4Qt::Logger* logger, const QString& holder)
{
    const QString text = aux_Ru(kBusyText);
    logger->error(QStringLiteral("%1 (%2)").arg(text, holder));
    PaymentProcessingAnswer answer;
    answer.setCode(VELMONT_RESULT_TERMINAL_BUSY);
    answer.setMessage(VelmontResponse_OwnMessage(text));
    return answer;
}

// Replaces path whole or not at all: temporary file, flush to disk, rename,
// then the directory entry itself to disk.
bool aux_ReplaceFile(const QString& path, const QByteArray& data, QString& errorText)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        errorText = file.errorString();
        return false;
    }
    const QByteArray directory = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        errorText = QString::fromLocal8Bit(strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

// Keeps the response as the last receipt's; on failure removes the older one
// rather than let it stand as the last.
void aux_StoreLastResponse(const QString& path, const QByteArray& responseData, Log4Qt::Logger* logger)
{
    QString errorText;
    if (aux_ReplaceFile(path, responseData, errorText))
        return;
    logger->error(QStringLiteral("%1 '%2': %3").arg(aux_Ru("Ошибка сохранения ответа для копии чека"), path, errorText));
    QFile::remove(path);
}

} // namespace

VelmontProcessing::VelmontProcessing()
    : logger(Log4Qt::LogManager::logger(QStringLiteral("payment")))
{
}

VelmontProcessing::~VelmontProcessing() = default;

bool VelmontProcessing::isPaymentEnable(PaymentProcessingRequest::Type type) const
{
    return type == PaymentProcessingRequest::Sale || type == PaymentProcessingRequest::Refund
        || type == PaymentProcessingRequest::RefundWithoutReceipt;
}

bool VelmontProcessing::isCancelEnable(PaymentProcessingRequest::Type type) const
{
    return isPaymentEnable(type);
}

bool VelmontProcessing::isCheckTotalsEnable() const { return true; }

PaymentProcessingAnswer VelmontProcessing::payment(const PaymentProcessingRequest& request)
{
    switch (request.getType()) {
    case PaymentProcessingRequest::Sale:
        return run(EVelmontProcessing::Sale, request.getAmount(), QString());
    case PaymentProcessingRequest::Refund:
    case PaymentProcessingRequest::RefundWithoutReceipt:
        return run(EVelmontProcessing::Return, request.getAmount(), QString());
    default:
        break;
    }
    PaymentProcessingAnswer answer = makeResult(VelmontResponse_OwnMessage(aux_Ru("Неподдерживаемая команда со стороны кассы")));
    answer.setCode(255);
    return answer;
}

PaymentProcessingAnswer VelmontProcessing::cancel(const PaymentProcessingRequest& request)
{
    switch (request.getType()) {
    case PaymentProcessingRequest::Sale:
        return run(EVelmontProcessing::Reversal, request.getAmount(), request.getReferenceText());
    case PaymentProcessingRequest::Refund:
    case PaymentProcessingRequest::RefundWithoutReceipt:
        // A refund can only be undone as the last operation of the terminal.
        return run(EVelmontProcessing::ReverseLast, request.getAmount(), QString());
    default:
        break;
    }
    PaymentProcessingAnswer answer = makeResult(VelmontResponse_OwnMessage(aux_Ru("Неподдерживаемая команда со стороны кассы")));
    answer.setCode(255);
    return answer;
}

PaymentProcessingAnswer VelmontProcessing::checkTotals(int)
{
    return run(EVelmontProcessing::CloseDay, 0, QString());
}

PaymentProcessingAnswer VelmontProcessing::printReport()
{
    return run(EVelmontProcessing::FullReport, 0, QString());
}

PaymentProcessingAnswer VelmontProcessing::printShortReport()
{
    return run(EVelmontProcessing::ShortReport, 0, QString());
}

PaymentProcessingAnswer VelmontProcessing::balance(const QString&)
{
    return run(EVelmontProcessing::Balance, 0, QString());
}

PaymentProcessingAnswer VelmontProcessing::testConnection()
{
    return run(EVelmontProcessing::TestBank, 0, QString());
}

PaymentProcessingAnswer VelmontProcessing::printCopy(int)
{
    logger->info(aux_Ru("Печать копии чека последней операции"));
    const QString path = paymentDirectory() + QLatin1String(kLastResponseFile);
    if (!QFileInfo::exists(path)) {
        const QString text = aux_Ru("Нет чека последней операции для печати копии");
        logger->error(text);
        return makeResult(VelmontResponse_OwnMessage(text));
    }
    QFile file(path);
    QByteArray data;
    if (file.open(QIODevice::ReadOnly))
        data = file.readAll();
    const QString readFailure = aux_Ru("Ошибка чтения чека последней операции");
    if (!file.isOpen() || file.error() != QFileDevice::NoError) {
        logger->error(QStringLiteral("%1 '%2': %3").arg(readFailure, path, file.errorString()));
        return makeResult(VelmontResponse_OwnMessage(readFailure));
    }
    PaymentProcessingAnswer answer = VelmontResponse_Read(data, readFailure, logger);
    QStringList images = answer.getPrintImages();
    if (images.isEmpty()) {
        logger->error(QStringLiteral("%1 '%2'").arg(readFailure, path));
        return makeResult(VelmontResponse_OwnMessage(readFailure));
    }
    for (QString& image : images)
        image.prepend(aux_Ru(kCopyMark));
    answer.setPrintImages(images);
    // The copy itself succeeded, whatever the original operation's outcome.
    answer.setSuccess(true);
    answer.setCode(0);
    return answer;
}

QString VelmontProcessing::paymentDirectory() const
{
    QString directory = getProcessingDirectory();
    if (directory.isEmpty())
        return QString::fromLatin1(kDefaultDirectory);
    if (!directory.endsWith(QLatin1Char('/')))
        directory += QLatin1Char('/');
    return directory;
}

bool VelmontProcessing::checkExecFile(const QString& path, QString& errorText)
{
    QFileInfo info(path);
    if (!info.exists()) {
        errorText = aux_Ru("Не найден исполняемый файл '%1'").arg(path);
        return false;
    }
    if (!info.isExecutable()) {
        errorText = aux_Ru("Файл '%1' не имеет прав на исполнение").arg(path);
        return false;
    }
    return true;
}

PaymentProcessingAnswer VelmontProcessing::run(EVelmontProcessing::Operation operation, int amount,
                                               const QString& referenceText)
{
    logger->info(aux_Ru("Запуск програмы с параметрами"));
    PaymentProcessingAnswer answer;
    const QString directory = paymentDirectory();

    // A second call while one runs (another window of the application, a
    // retry while the first still waits for the card) is answered at once and
    // touches nothing: the request and response files are the running call's.
    // The lock is held until this run has read its answer.
    const RunLock runLock(directory + QLatin1String(kRunLockFile));
    if (!runLock.held() && runLock.busy())
        return aux_BusyAnswer(logger, aux_Ru("операция этой кассы"));
    if (!runLock.held())
        logger->error(QStringLiteral("%1 '%2': %3")
                         .arg(aux_Ru("Блокировка каталога оплаты не получена"), directory + QLatin1String(kRunLockFile),
                              QString::fromLocal8Bit(strerror(runLock.errorNumber()))));
    if (aux_LibraryBusy(directory + QLatin1String(kLibraryLockFile)))
        return aux_BusyAnswer(logger, aux_Ru("вызов карточной системы"));

    QDomDocument doc;
    QDomElement root = doc.createElement(QStringLiteral("OperationDataRq"));
    doc.appendChild(root);
    aux_AppendText(doc, root, QStringLiteral("OperationType"), EVelmontProcessing::getName(operation));
    if (operation == EVelmontProcessing::Sale || operation == EVelmontProcessing::Reversal
        || operation == EVelmontProcessing::Return || operation == EVelmontProcessing::ReverseLast)
        aux_AppendText(doc, root, QStringLiteral("Amount"), QString::number(amount));
    if (operation >= EVelmontProcessing::Sale && operation <= EVelmontProcessing::Balance)
        // Read at every run: the card system rewrites its configuration between runs.
        aux_AppendText(doc, root, QStringLiteral("Currency"), aux_BaseCurrency(directory + QLatin1String(kSettingsFile)));
    if (operation == EVelmontProcessing::Reversal)
        aux_AppendText(doc, root, QStringLiteral("OriginalCode"), referenceText);
    else if (operation == EVelmontProcessing::FullReport)
        aux_AppendText(doc, root, QStringLiteral("DetailReport"), QStringLiteral("ChequeFull"));

    const QString requestText = doc.toString(1);
    logger->info(aux_Ru("Запрос: ") + requestText);
    logger->debug(aux_Ru("Сохрание файла запроса"));

    const QString requestPath = QFileInfo(directory + QLatin1String(kRequestFile)).absoluteFilePath();
    QString writeError;
    if (!aux_WriteRequest(requestPath, requestText.toUtf8(), writeError)) {
        const QString text = aux_Ru("Ошибка записи файла запроса");
        logger->error(QStringLiteral("%1 '%2': %3").arg(text, requestPath, writeError));
        answer.setMessage(VelmontResponse_OwnMessage(text));
        return answer;
    }

    const QString program = QString::fromLatin1(kProgram);
    // "./Ravo <request path>": the launcher ignores the argument. Passed as a
    // list, not as one command line, so a directory with spaces stays one argument.
    const QStringList arguments{requestPath};

    QString execError;
    if (!checkExecFile(directory + program, execError)) {
        logger->error(execError);
        answer.setMessage(VelmontResponse_OwnMessage(execError));
        return answer;
    }

    // Whatever is read after the run must come from this run: a launcher that
    // fails before the library answers must not let an older answer through.
    const QString responsePath = directory + QLatin1String(kResponseFile);
    if (QFileInfo::exists(responsePath) && !QFile::remove(responsePath)) {
        const QString text = aux_Ru("Ошибка удаления файла ответа предыдущей операции");
        logger->error(QStringLiteral("%1 '%2'").arg(text, responsePath));
        answer.setMessage(VelmontResponse_OwnMessage(text));
        return answer;
    }

    QProcess process;
    process.setWorkingDirectory(directory);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(kRunLimitMs);
    // A launcher that did not end by itself (time limit, signal, not started)
    // is a process error, unless the library gave its answer before: then this
    // text stands only for a failure to take that answer from the file.
    QString killText;
    if (!finished || process.exitStatus() != QProcess::NormalExit) {
        const bool timedOut = !finished && process.error() == QProcess::Timedout;
        process.kill();
        process.waitForFinished(5000);
        logger->debug(aux_Ru("Вывод команды, stdout: \"%1\"")
                          .arg(QString::fromLocal8Bit(process.readAllStandardOutput())));
        killText = timedOut
            ? aux_Ru("Истёк таймаут (5 мин) выполнения команды. Процесс принудительно завершен")
            : aux_Ru("Ошибка процесса оплаты");
        logger->error(killText);
        // The library writes its final response, renamed into place whole, and
        // books the operation before it waits for the card to be taken; the old
        // file was removed above, so one that is there now is this run's answer.
        // An approval must not reach the cashier as a failure to be paid again.
        if (!QFileInfo::exists(responsePath)) {
            answer.setMessage(VelmontResponse_OwnMessage(killText));
            return answer;
        }
        logger->info(aux_Ru("Ответ операции записан до завершения процесса, он и передается кассе"));
    } else {
        logger->debug(aux_Ru("Вывод команды, stdout: \"%1\"")
                          .arg(QString::fromLocal8Bit(process.readAllStandardOutput())));
        // The library refused the call, another one being under way: the
        // response file is that call's answer and is not read.
        if (process.exitCode() == VELMONT_LAUNCHER_BUSY_EXIT)
            return aux_BusyAnswer(logger, aux_Ru("вызов карточной системы"));
        if (process.exitCode() != 0)
            logger->error(aux_Ru("Команда завершена с кодом ошибки (%1), stderror: \"%2\"")
                              .arg(QString::number(process.exitCode()),
                                   QString::fromLocal8Bit(process.readAllStandardError())));
    }
    QFile responseFile(responsePath);
    // A launcher that failed before the library answered says why by its exit code.
    if (killText.isEmpty() && process.exitCode() != 0 && !QFileInfo::exists(responsePath)) {
        answer = aux_LaunchFailure(process.exitCode());
        logger->error(answer.getMessage().ru());
        return answer;
    }
    if (!responseFile.open(QIODevice::ReadOnly)) {
        const QString text = aux_Ru("Ошибка чтения файла статуса операции");
        answer.setMessage(VelmontResponse_OwnMessage(killText.isEmpty() ? text : killText));
        return answer;
    }
    const QByteArray responseData = responseFile.readAll();
    responseFile.close();
    answer = VelmontResponse_Read(responseData, killText, logger);
    if (!answer.getPrintImages().isEmpty())
        aux_StoreLastResponse(directory + QLatin1String(kLastResponseFile), responseData, logger);
    return answer;
}
