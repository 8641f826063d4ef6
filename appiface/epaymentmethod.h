// Point-of-sale application interface: declarations of the application's own
// types, as the payment plug-ins see them. The application owns these types.
#pragma once

// How the customer paid, as the processing reports it back.
enum EPaymentMethod : int
{
    PaymentMethodUndefined = 0,
    PaymentMethodCard = 1,
    PaymentMethodQRCode = 2,
};
