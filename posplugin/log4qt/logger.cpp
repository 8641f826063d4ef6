#include "log4qt/logger.h"
#include "log4qt/logmanager.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

namespace Log4Qt {

Logger::Logger(const QString& name)
    : categoryName(name.toUtf8()), category(categoryName.constData())
{
}

void Logger::debug(const QString& message) const
{
    qCDebug(category).noquote() << message;
}

void Logger::info(const QString& message) const
{
    qCInfo(category).noquote() << message;
}

void Logger::error(const QString& message) const
{
    qCCritical(category).noquote() << message;
}

Logger* LogManager::logger(const QString& name)
{
    static QMutex mutex;
    static QHash<QString, Logger*> loggers;
    QMutexLocker lock(&mutex);
    Logger*& slot = loggers[name];
    if (!slot)
        slot = new Logger(name);
    return slot;
}

} // namespace Log4Qt
