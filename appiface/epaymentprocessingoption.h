// Point-of-sale application interface: declarations of the application's own
// types, as the payment plug-ins see them. The application owns these types.
#pragma once

#include <QtGlobal>

// Option bits that the application may set on a processor. The processor keeps
// them as one 32-bit set; a value may combine several bits.
namespace EPaymentProcessingOption {

enum Option : quint32
{
    NoOption = 0x0,
};

} // namespace EPaymentProcessingOption
