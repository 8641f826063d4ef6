// Point-of-sale application interface: declarations of the application's own
// types, as the payment plug-ins see them. The application owns these types.
#pragma once

#include <QtGlobal>

// A mark the processing puts on a card (a bank's own card, a social card ...).
// It travels as one 32-bit value; 0 means "no mark".
class CardMark
{
public:
    CardMark() = default;
    explicit CardMark(quint32 value) : value(value) {}

    quint32 getValue() const { return value; }

    bool operator==(const CardMark& other) const { return value == other.value; }
    bool operator!=(const CardMark& other) const { return value != other.value; }

private:
    quint32 value = 0;
};
