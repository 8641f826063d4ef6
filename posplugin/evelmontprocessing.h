// The card operations that the Velmont plug-in asks the card system for, and the
// operation word each one is written as in the request file.
#pragma once

#include <QString>

class EVelmontProcessing
{
public:
    enum Operation
    {
        Sale = 1,
        Reversal = 2,
        Return = 3,
        Balance = 4,
        CloseDay = 5,
        FullReport = 6,
        ShortReport = 7,
        ReverseLast = 8,
        TestBank = 9,
    };

    // The OperationType word; empty for a value outside the list.
    static QString getName(Operation operation);
};
