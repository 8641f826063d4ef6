#include "paymentprocessinganswer.h"

bool PaymentProcessingAnswer::operator==(const PaymentProcessingAnswer& other) const
{
    // Doubles compare as numbers on purpose: a NaN sum never equals anything.
    return code == other.code
        && message == other.message
        && status == other.status
        && printImages == other.printImages
        && terminalNumber == other.terminalNumber
        && cardType == other.cardType
        && cardNumber == other.cardNumber
        && authorizationCode == other.authorizationCode
        && rrn == other.rrn
        && sum == other.sum
        && posName == other.posName
        && balance == other.balance
        && discCardNumber == other.discCardNumber
        && loyaltyCards == other.loyaltyCards
        && hashedCardNumber == other.hashedCardNumber
        && cardMark == other.cardMark
        && paymentMethod == other.paymentMethod;
}
