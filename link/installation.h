#pragma once

#include <QString>

// The plant the program runs: thirteen cabinets at consecutive addresses, four
// rotors each. The program, the simulator, the benchmark and the tests ask here;
// scripts/netns-run reads the first three lines below with sed, so keep their form.
namespace Installation {

constexpr char HostPrefix[] = "10.0.85.";
constexpr int FirstHost = 10;
constexpr int LastHost = 22;
constexpr int CabinetCount = LastHost - FirstHost + 1;
constexpr int RotorsPerCabinet = 4;

// A cabinet's address from its host number: "10.0.85.12" for 12.
inline QString hostAddress(int host)
{
    return QLatin1String(HostPrefix) + QString::number(host);
}

} // namespace Installation
