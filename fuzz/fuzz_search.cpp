// Search answers: a datagram as it lands in the zero-filled receive buffer,
// decoded into the texts the search callback gets.
#include <array>
#include <cstdio>
#include <cstring>

#include "fuzz_text.h"
#include "search/search.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A datagram longer than the buffer is cut to it, as the receive cuts it.
    std::array<std::uint8_t, quil::search::kReplyBufferSize> buffer{};
    std::memcpy(buffer.data(), data, std::min(size, buffer.size()));
    quil::search::AnswerTexts answer;
    const bool decoded = quil::search::decodeAnswer(buffer.data(), &answer);
    const bool isAnswer = size >= 12 && buffer[0] == 1 && buffer[1] == 0 && buffer[2] == 1 && buffer[3] == 0 &&
                          buffer[8] == 1 && buffer[9] == 0 && buffer[10] == 1 && buffer[11] == 1;
    FUZZ_EXPECT(decoded == isAnswer);
    if (!decoded) return 0;
    // Every text is complete and terminated inside its array.
    char ip[16];
    std::snprintf(ip, sizeof ip, "%u.%u.%u.%u", buffer[48], buffer[49], buffer[50], buffer[51]);
    FUZZ_EXPECT(std::strcmp(answer.ip, ip) == 0);
    FUZZ_EXPECT(std::strlen(answer.mac) == 17);
    FUZZ_EXPECT(std::strlen(answer.hex) == 8);
    FUZZ_EXPECT(answer.area == buffer.data() + 16);
    return 0;
}
