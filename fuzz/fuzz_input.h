// The input layout the date fuzz targets share: "<format>\n<date>", the
// date empty when there is no newline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct FormatAndDate {
    std::size_t formatSize;  // bytes before the newline
    std::size_t dateOffset;  // first byte after it
};

inline FormatAndDate splitInput(const std::uint8_t* data, std::size_t size)
{
    const void* nl = std::memchr(data, '\n', size);
    if (!nl) {
        return {size, size};
    }
    const auto at =
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(nl) - data);
    return {at, at + 1};
}
