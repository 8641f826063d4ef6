// Stand-in for Log4Qt's LogManager when the real library is not installed.
#pragma once

#include <QString>

#include "log4qt/logger.h"

namespace Log4Qt {

class LogManager
{
public:
    // The one logger of that name in the process; it lives until the process ends.
    static Logger* logger(const QString& name);
};

} // namespace Log4Qt
