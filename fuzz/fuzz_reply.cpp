// Reply lines of the command link: the split into the device's reply
// fields, the check against the command's letters and error replies, and the
// field conversions the command functions apply.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>

#include "fuzz_text.h"
#include "quil.h"
#include "quil/communication.h"
#include "quil/device.h"
#include "quil/exchange.h"

namespace {

// Commands whose letters the reply is checked against; the last one is
// shorter than two letters.
const char* const kCommands[] = {"MS,01\r\n", "PR\r\n", "SW,HA,M,01\r\n", "ER\r\n", "Q0\r\n", "M"};

char** fields() {
    static quil::ReplyFields f;
    if (!f) f.allocate();
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const char* command = kCommands[data[0] % std::size(kCommands)];
    const std::string text = quil::fuzz::textOf(data + 1, size - 1);
    char** f = fields();

    int count = -1;
    const std::int32_t split = quil::splitReply(text.c_str(), f, &count);
    if (split == QUIL_OK) {
        FUZZ_EXPECT(count >= 1 && count <= quil::kFieldCount);
        // The fields put back together with commas are the reply (a comma
        // at the very end adds no field).
        std::string joined;
        for (int i = 0; i < count; ++i) {
            FUZZ_EXPECT(std::strlen(f[i]) < static_cast<std::size_t>(quil::kFieldWidth));
            joined += (i ? "," : "") + std::string(f[i]);
        }
        FUZZ_EXPECT(joined == text || joined + "," == text);
        // The conversions the command functions apply to the first fields
        // (and to fields past the reply, which read as empty text): a field
        // reads whole or not at all. An integer that reads is the field's
        // own number, which prints back as the field without its sign and
        // leading zeros.
        const quil::Reply reply(f, count);
        for (int i : {1, 2, count}) {
            std::int32_t status = -1;
            float value = 0;
            try {
                reply.measured(i, &status, &value);
                FUZZ_EXPECT(status >= QUIL_VALUE_NORMAL && status <= QUIL_VALUE_XXXXXXXX);
                FUZZ_EXPECT(status != QUIL_VALUE_NORMAL || std::isfinite(value));
            } catch (const quil::BadReplyField&) {
                FUZZ_EXPECT(status == -1);
            }
            try {
                const std::int32_t n = reply.integer(i);
                std::string digits = reply.text(i);
                if (digits[0] == '+' || digits[0] == '-') digits.erase(0, 1);
                digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
                const long long magnitude = n < 0 ? -static_cast<long long>(n) : n;
                FUZZ_EXPECT(digits == std::to_string(magnitude));
            } catch (const quil::BadReplyField&) {}
        }
    } else {
        FUZZ_EXPECT(split == QUIL_ERROR_REPLY || (split == QUIL_ERROR_UNKNOWN && text.empty()));
    }

    count = -1;
    const std::int32_t checked = quil::checkReply(text.c_str(), &count, f, command);
    if (split != QUIL_OK) {
        FUZZ_EXPECT(checked == split);
    } else if (std::strcmp(f[0], "ER") == 0) {
        FUZZ_EXPECT(checked != QUIL_OK);
    } else {
        const std::string letters(command, std::min<std::size_t>(2, std::strlen(command)));
        FUZZ_EXPECT((checked == QUIL_OK) == (letters == f[0]));
        FUZZ_EXPECT(checked == QUIL_OK || checked == QUIL_ERROR_REPLY);
    }
    // Each exchange leaves the fields empty for the next one.
    for (int i = 0; i < quil::kFieldCount; ++i) f[i][0] = '\0';
    return 0;
}
