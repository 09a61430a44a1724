// "#J" reply lines: the head check, the JSON parse and the walks of the
// register read, register write and batch-switch replies. The line is handed
// over exactly as long as it is, unterminated, as it stands in the receive
// buffer, so that a read past its end is caught.
#include <cstring>
#include <memory>

#include "fuzz_text.h"
#include "link/json.h"

namespace {

// The exchange's result codes (link/json.h).
bool knownCode(std::int32_t r) { return (r >= -3 && r <= 99) || r == -20 || r == -21 || r == -22; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 1 << 20) return 0;
    const std::uint8_t which = data[0];
    const std::int32_t length = static_cast<std::int32_t>(size - 1);
    std::unique_ptr<char[]> line(new char[size - 1 + (size == 1)]);
    std::memcpy(line.get(), data + 1, size - 1);
    const char* reply = line.get();

    const std::int32_t head = quil::link::checkReplyHead("#J\r\n", reply, length);
    FUZZ_EXPECT(head >= -3 && head <= 99);
    // An error number only comes from an eight-character error reply.
    if (head > 0) FUZZ_EXPECT(length == 8 && (reply[0] == 'E' || reply[0] == 'e'));

    std::int32_t r = 0;
    switch (which % 3) {
    case 0: {
        std::uint32_t value = 0xDEADBEEF;
        r = quil::link::regReadReply(reply, length, &value);
        if (r == 0) FUZZ_EXPECT(head == 0);
        break;
    }
    case 1: r = quil::link::regWriteReply(reply, length); break;
    default: {
        std::int32_t online = -7;
        r = quil::link::rollBatchReply(reply, length, &online);
        FUZZ_EXPECT(r == 0 || r == head || r == -2);
        break;
    }
    }
    FUZZ_EXPECT(knownCode(r));
    // A head the check refused ends every walk with its code.
    if (head != 0) FUZZ_EXPECT(r == head);
    return 0;
}
