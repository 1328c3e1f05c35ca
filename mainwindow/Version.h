#pragma once
// The program's version: 1.2, revision 64 (file version 1.2.0.64).
#include <QString>

namespace Version {

constexpr int Major = 1;
constexpr int Minor = 2;
constexpr int Revision = 64;

// The project's web page, linked from the pages the program generates.
inline constexpr char WebPage[] = "https://tessaly.example/";

// "Version: 1.2 Build: 64", as the splash and about windows show it.
inline QString VersionText()
{
    return QStringLiteral("Version: ") + QString::number(Major) + QStringLiteral(".") + QString::number(Minor)
           + QStringLiteral(" Build: ") + QString::number(Revision);
}

} // namespace Version
