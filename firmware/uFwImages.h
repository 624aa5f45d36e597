// The nine built-in firmware images. Each is one module of constant data, generated at build time
// from its file under firmware/images/ (firmware/ImageModule.cmake).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// TBl3FileHeader as constant data: the date as a view, so an image needs no start-up code.
struct TFwImageHeader {
    std::uint16_t quarn_class = 0;
    std::uint16_t quarn_verH = 0;
    std::uint16_t quarn_verL = 0;
    std::uint16_t quarn_platform = 0;
    std::uint16_t quarn_print = 0;
    std::string_view quarn_date;
    std::uint16_t quarn_bl = 0;
    std::uint16_t quarn_bl_ver = 0;
};

struct TFwImage {
    TFwImageHeader Header;
    std::span<const std::string_view> Lines; // the HEX lines, the end record last
};

extern const TFwImage FwImage1;
extern const TFwImage FwImage2;
extern const TFwImage FwImage3;
extern const TFwImage FwImage4;
extern const TFwImage FwImage5;
extern const TFwImage FwImage6;
extern const TFwImage FwImage7;
extern const TFwImage FwImage8;
extern const TFwImage FwImage9;
