#include "evelmontprocessing.h"

QString EVelmontProcessing::getName(Operation operation)
{
    switch (operation) {
    case Sale: return QStringLiteral("Sale");
    case Reversal: return QStringLiteral("Reversal");
    case Return: return QStringLiteral("Return");
    case Balance: return QStringLiteral("Balance");
    case CloseDay: return QStringLiteral("CloseDay");
    // Both reports are the same request word; only the full one adds DetailReport.
    case FullReport: return QStringLiteral("DayReport");
    case ShortReport: return QStringLiteral("DayReport");
    case ReverseLast: return QStringLiteral("ReverseLast");
    case TestBank: return QStringLiteral("TestBank");
    }
    return QString();
}
