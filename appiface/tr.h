// Point-of-sale application interface: declarations of the application's own
// types, as the payment plug-ins see them. The application owns these types;
// a plug-in compiles against them and must not change their layout.
#pragma once

#include <QString>

namespace tr {

// A translatable message: a stable id that the application looks up, and the
// Russian text shown when no translation exists.
class Tr
{
public:
    Tr() = default;
    Tr(const QString& id, const QString& ruText) : id(id), ruText(ruText) {}

    QString getId() const { return id; }
    QString ru() const { return ruText; }
    bool isEmpty() const { return id.isEmpty() && ruText.isEmpty(); }

    bool operator==(const Tr& other) const { return id == other.id && ruText == other.ruText; }
    bool operator!=(const Tr& other) const { return !(*this == other); }

private:
    QString id;
    QString ruText;
};

} // namespace tr
