// fuzz/fuzz_plugin_response.cpp
// The response RAVORS.XML as the point-of-sale plug-in reads it into the
// cash desk's answer, with and without a launcher failure already known.
#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdint>

#include "log4qt/logger.h"
#include "velmontresponse.h"

// The plug-in logs each response whole; a million of them are not printed.
static void aux_Fuzz_DropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Log4Qt::Logger* logger = [] {
        qInstallMessageHandler(aux_Fuzz_DropMessage);
        return new Log4Qt::Logger(QStringLiteral("payment"));
    }();
    const QByteArray response(reinterpret_cast<const char*>(data), static_cast<int>(size));
    PaymentProcessingAnswer answer = VelmontResponse_Read(response, QString(), logger);
    volatile int sink = answer.getCode() + answer.getPrintImages().size() + answer.getMessage().ru().size();
    (void)sink;
    return 0;
}
