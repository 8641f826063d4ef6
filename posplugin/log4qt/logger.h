// Stand-in for Log4Qt's Logger when the real library is not installed (Debian
// does not package it). It offers the calls the plug-in uses and writes through
// Qt's own logging under a category named after the logger, so the host
// application's message handler sees every line.
#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

namespace Log4Qt {

class Logger
{
public:
    explicit Logger(const QString& name);

    QString name() const { return QString::fromUtf8(categoryName); }

    void debug(const QString& message) const;
    void info(const QString& message) const;
    void error(const QString& message) const;

private:
    // Declared before category: QLoggingCategory keeps only the pointer.
    QByteArray categoryName;
    QLoggingCategory category;
};

} // namespace Log4Qt
