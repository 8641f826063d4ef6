// Point-of-sale application interface: declarations of the application's own
// types, as the payment plug-ins see them. The application owns these types.
#pragma once

// The till's sale document. Payment plug-ins receive it only through a shared
// pointer and may ask whether they can pay it; its contents are the
// application's business.
class AbstractDocument
{
public:
    virtual ~AbstractDocument() = default;
};
