#include "velmontresponse.h"

#include <QDomDocument>
#include <QDomElement>
#include <QRegularExpression>
#include <QStringList>

#include <log4qt/logger.h>

namespace {

// A launcher printing far more copies than it could mean is a corrupt response;
// the count is capped so it cannot exhaust the till's memory.
const int kMaxPrintCopies = 10;

QString aux_Ru(const char* utf8) { return QString::fromUtf8(utf8); }

// Card-system libraries before the escaping one wrote response values verbatim,
// so a merchant name such as "Smith & Co" on the receipt left a bare "&" that no
// XML parser accepts, and an approved payment would reach the cashier as a
// failure (and be paid twice). The terminal manager can roll the library back
// to such a version, so the repair stays: every "&" that does not begin a
// character or entity reference is escaped. Used only on a response that does
// not parse as it is.
QByteArray aux_EscapeBareAmpersands(const QByteArray& data)
{
    static const QRegularExpression reference(
        QStringLiteral("^&(?:[A-Za-z_][A-Za-z0-9_.-]*|#[0-9]+|#x[0-9A-Fa-f]+);"));
    QByteArray escaped;
    escaped.reserve(data.size());
    for (int i = 0; i < data.size(); ++i) {
        escaped.append(data[i]);
        if (data[i] != '&')
            continue;
        const QString rest = QString::fromLatin1(data.mid(i, 40));
        if (!reference.match(rest).hasMatch())
            escaped.append("amp;");
    }
    return escaped;
}

} // namespace

bool VelmontResponse_IsSuccess(int resultCode)
{
    return resultCode == 0 || resultCode == VELMONT_RESULT_ALREADY_CANCELLED;
}

tr::Tr VelmontResponse_OwnMessage(const QString& text) { return tr::Tr(QStringLiteral("undefined"), text); }

PaymentProcessingAnswer VelmontResponse_Read(const QByteArray& responseData, const QString& failureText,
                                             Log4Qt::Logger* logger)
{
    PaymentProcessingAnswer answer;
    auto failure = [&answer, &failureText](const QString& text) {
        answer.setMessage(VelmontResponse_OwnMessage(failureText.isEmpty() ? text : failureText));
        return answer;
    };
    logger->debug(QString::fromUtf8(responseData));

    QDomDocument response;
    QString parseError;
    int errorLine = 0;
    int errorColumn = 0;
    if (!response.setContent(responseData, &parseError, &errorLine, &errorColumn)
        && (!responseData.contains('&') || !response.setContent(aux_EscapeBareAmpersands(responseData)))) {
        logger->error(aux_Ru("Ошибка разбора XML в %1:%2 '%3'")
                          .arg(QString::number(errorLine), QString::number(errorColumn), parseError));
        return failure(aux_Ru("Ошибка разбора файла ответа"));
    }

    const QDomElement result = response.elementsByTagName(QStringLiteral("OperationResultRs")).item(0).toElement();
    auto childText = [&result](const char* name) {
        return result.firstChildElement(QString::fromLatin1(name)).text();
    };

    bool codeValid = false;
    const int code = childText("ResultCode").toInt(&codeValid, 10);
    if (!codeValid) {
        const QString text = aux_Ru("Ошибка получения кода статуса");
        logger->error(text);
        return failure(text);
    }
    // An application that lost the first answer of a cancel and tries again
    // must hear that the sale is cancelled, not that the cancel failed.
    answer.setSuccess(VelmontResponse_IsSuccess(code));
    answer.setCode(code);
    answer.setCardNumber(childText("CardNo"));
    answer.setMessage(VelmontResponse_OwnMessage(childText("ResultText")));
    answer.setAuthorizationCode(childText("OriginalCode"));
    answer.setRRN(childText("OriginalCode"));
    answer.setTerminalNumber(childText("TerminalId").toInt(nullptr, 10));

    // One-pass arg(): a "%" inside the result text is not a placeholder.
    logger->info(aux_Ru("Код статуса: %1; Описание: %2; Выполнено %3")
                     .arg(QString::number(answer.getCode()), answer.getMessage().ru(),
                          answer.isSuccess() ? aux_Ru("успешно") : aux_Ru("с ошибкой")));
    logger->info(aux_Ru("Номер карты: %1; Тип карты: %2; Код авторизации: %3")
                     .arg(answer.getCardNumber(), answer.getCardType(), answer.getAuthorizationCode()));

    const QString chequeText = childText("ChequeText");
    int copies = childText("ChequeCount").toInt(nullptr, 10);
    if (copies > kMaxPrintCopies)
        copies = kMaxPrintCopies;
    QStringList images;
    for (int i = 0; i < copies; ++i)
        images.append(chequeText);
    answer.setPrintImages(images);
    return answer;
}
