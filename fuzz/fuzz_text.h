// What the fuzz targets share: the input as the zero-terminated text a
// parser sees, and a check that stops the run when an expectation fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quil::fuzz {

// The input up to its first zero byte, as a received line reads once its
// CR LF has been replaced by a zero.
inline std::string textOf(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(text.find('\0') == std::string::npos ? size : text.find('\0'));
    return text;
}

// A failed expectation is a finding like a crash: libFuzzer keeps the input.
#define FUZZ_EXPECT(condition)                                                                       \
    do {                                                                                             \
        if (!(condition)) {                                                                          \
            std::fprintf(stderr, "%s:%d: expectation failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                            \
        }                                                                                            \
    } while (0)

}  // namespace quil::fuzz
