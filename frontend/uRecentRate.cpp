#include "frontend/uRecentRate.h"

void TRecentRate::Add(TClock::time_point t, int iPercent) {
    if (!Fa.empty() && iPercent < Fa.back().second)
        Fa.clear();
    Fa.emplace_back(t, iPercent);
    // The base of the rate: the newest step at least Window before this one.
    while (Fa.size() >= 2 && Fa[1].first <= t - Window)
        Fa.pop_front();
}

std::optional<int> TRecentRate::SecondsLeft() const {
    if (Fa.size() < 2)
        return std::nullopt;
    const auto& [tBase, iBase] = Fa.front();
    const auto& [tLast, iLast] = Fa.back();
    if (iLast <= iBase)
        return std::nullopt;
    const double dSeconds = std::chrono::duration<double>(tLast - tBase).count();
    return static_cast<int>(dSeconds / (iLast - iBase) * (100 - iLast) + 0.5);
}
