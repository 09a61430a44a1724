// Stored-value lists ("AO" decimal, "AR" hexadecimal): the walk and both
// token conversions, each value compared with what the C library makes of
// its token.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_text.h"
#include "quil.h"
#include "quil/stored_values.h"

namespace {

bool isSpecial(const std::string& token) { return token == "+FFFFFFF" || token == "-FFFFFFF" || token == "XXXXXXXX"; }

// The tokens the walk reads: after the command letters and their comma, one
// per comma, the last ended by the end of the text unless that is a comma.
std::string tokenAt(const std::string& text, std::int32_t index) {
    std::size_t pos = 3;
    for (std::int32_t i = 0; i < index; ++i) pos = text.find(',', pos) + 1;
    const std::size_t end = text.find(',', pos);
    return text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

template <class T, class Parse, class Expected>
void walk(const std::string& text, std::int32_t capacity, Parse parse, Expected expected) {
    // Exactly capacity elements, so that a write past them is caught.
    std::unique_ptr<T[]> values(new T[static_cast<std::size_t>(capacity) + (capacity == 0)]);
    std::int32_t count = -1;
    const std::int32_t rc = parse(text.c_str(), capacity, values.get(), &count);
    if (rc != QUIL_OK) {
        FUZZ_EXPECT(count == -1);
        return;
    }
    FUZZ_EXPECT(text.compare(0, 2, "ER") != 0);
    FUZZ_EXPECT(count >= 0 && count <= capacity);
    for (std::int32_t i = 0; i < count; ++i) {
        const std::string token = tokenAt(text, i);
        FUZZ_EXPECT(token.size() <= quil::kStoredTokenMax);
        const T want = isSpecial(token) ? static_cast<T>(quil::kStoredSpecialValue) : expected(token);
        if constexpr (std::is_floating_point_v<T>)
            FUZZ_EXPECT(std::memcmp(&values[i], &want, sizeof want) == 0 ||
                        (std::isnan(values[i]) && std::isnan(want)));
        else
            FUZZ_EXPECT(values[i] == want);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The capacity of the caller's array, up to more tokens than a short
    // input holds.
    const std::int32_t capacity = data[0] % 64;
    const std::string text = quil::fuzz::textOf(data + 1, size - 1);
    // The C library's reading of a token (this process keeps the C locale).
    walk<float>(text, capacity, quil::parseStoredFloats,
                [](const std::string& t) { return static_cast<float>(std::strtod(t.c_str(), nullptr)); });
    walk<std::int32_t>(text, capacity, quil::parseStoredHex, [](const std::string& t) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::strtoll(t.c_str(), nullptr, 16)));
    });
    return 0;
}
