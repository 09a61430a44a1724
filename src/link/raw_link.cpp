// The exported raw link functions: plain C calling convention, small
// negative result codes.
#include <cstdio>

#include "elog/console.h"
#include "link/link_record.h"
#include "quil.h"

using namespace quil::link;

namespace {
constexpr std::int32_t kVersion = QUIL_VERSION_MAJOR << 24 | QUIL_VERSION_MINOR << 16 | QUIL_VERSION_PATCH;
#define QUIL_TEXT(x) #x
#define QUIL_VERSION_TEXT(a, b, c) QUIL_TEXT(a) "." QUIL_TEXT(b) "." QUIL_TEXT(c)
}  // namespace

extern "C" {

QUIL_API int32_t VersionDll(void) { return kVersion; }

QUIL_API const char* quil_version(void) {
    return QUIL_VERSION_TEXT(QUIL_VERSION_MAJOR, QUIL_VERSION_MINOR, QUIL_VERSION_PATCH);
}

QUIL_API int32_t LinkConnect(uint32_t DeviceId, const char* ip) {
    return openLink(commandLinks(), DeviceId, ip, kCommandPort, kLinkBufferSize);
}

QUIL_API int32_t QUIL_EthernetOpen(uint32_t DeviceId, const char* ip) {
    if (LinkConnect(DeviceId, ip) == QUIL_LINK_OK) return QUIL_LINK_OK;
    quil::consoleError("Cmd link err");
    return QUIL_LINK_FAILED;
}

QUIL_API int32_t DeviceInit(uint32_t DeviceId, int32_t socket) {
    // The socket stays the application's: a plain disconnect does not close it.
    return registerLink(DeviceId, std::make_shared<Connection>(quil::platform::Socket{socket}), false);
}

QUIL_API int32_t LinkDisconnect(uint32_t DeviceId) {
    disconnectLink(commandLinks(), DeviceId, false);
    return QUIL_LINK_OK;
}

QUIL_API char* GetDataBuff(uint32_t DeviceId) { return dataBuffOf(commandLinks(), DeviceId); }

QUIL_API int32_t GetDataBuffLen(uint32_t DeviceId) { return dataLenOf(commandLinks(), DeviceId); }

QUIL_API char* GetTmpBuff(uint32_t DeviceId) { return tmpBuffOf(commandLinks(), DeviceId); }

QUIL_API int32_t SwapData(uint32_t DeviceId, const char* line, int32_t len, char* out, int32_t* outLen,
                          int32_t timeoutMs) {
    return swapLine(commandLinks(), DeviceId, line, len, out, outLen, timeoutMs);
}

QUIL_API int32_t quil_swap(uint32_t DeviceId, const char* line, int32_t length, char* out, int32_t capacity,
                           int32_t* outLength, int32_t timeoutMs) {
    if (capacity < 0 || (capacity > 0 && !out)) return QUIL_LINK_BAD_LINE;
    return swapLine(commandLinks(), DeviceId, line, length, out, outLength, timeoutMs,
                    static_cast<std::size_t>(capacity));
}

}  // extern "C"
