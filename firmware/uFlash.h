// The flash layout of each platform. Region 0 starts at the logger's update-ID block.
#pragma once

#include <array>
#include <cstdint>

struct TFlashRegion {
    bool bUsed = false;
    std::int32_t iFirst = 0;
    std::int32_t iLast = 0; // inclusive
    bool operator==(const TFlashRegion&) const = default;
};

// Regions 0 to 6; a region the platform does not have is all zero.
using TFlashLayout = std::array<TFlashRegion, 7>;

// Clears the whole record, then fills the platform's regions (nothing for a platform without a
// layout).
void GetFlashLayout(std::uint16_t iPlatform, TFlashLayout& layout);

// Whether the bytes iFirst to iLast (inclusive) lie together inside one region of the layout. A
// record is written by the bootloader into one region; one that reaches past a region's end
// writes where the platform has no flash, or into the region after it.
bool IsInsideRegion(const TFlashLayout& layout, std::int64_t iFirst, std::int64_t iLast);
