// Time, ids, paths, INI files and memory status on Windows.
#include "platform/platform.h"

// clang-format off
#include <windows.h>
#include <psapi.h>
// clang-format on

#include <io.h>
#include <locale.h>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quil::platform {

LocalTime localTime() {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

long processId() { return static_cast<long>(::GetCurrentProcessId()); }
long threadId() { return static_cast<long>(::GetCurrentThreadId()); }

std::string executablePath() {
    // The module handle null names the program, not this library. The call
    // cuts a path that does not fit (and says so by filling the buffer), so
    // grow until it fits.
    std::string buf(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return buf.substr(0, n);
        if (buf.size() >= 32768) return {};
        buf.resize(buf.size() * 2);
    }
}

// Windows keeps one set for the whole process, which also holds for the
// threads it starts later.
bool pinProcessToOneCpu() {
    DWORD_PTR process = 0, system = 0;
    if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) || process == 0) return false;
    const DWORD_PTR first = process & (~process + 1);  // the lowest processor allowed
    return ::SetProcessAffinityMask(::GetCurrentProcess(), first) != 0;
}

namespace {
// Text in the ANSI code page, as GetModuleFileNameA gives the path, to UTF-16.
std::wstring wide(const char* text) {
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}
}  // namespace

int iniReadInt(const std::string& path, const char* section, const char* key, int def) {
    return static_cast<int>(
        ::GetPrivateProfileIntW(wide(section).c_str(), wide(key).c_str(), def, wide(path.c_str()).c_str()));
}

int memoryLoadPercent() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status)) return -1;
    return static_cast<int>(status.dwMemoryLoad);
}

long long residentBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    // The kernel32 entry point: no psapi.dll import for one number.
    if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<long long>(counters.WorkingSetSize);
}

long long addressSpaceBytes() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status)) return -1;
    return static_cast<long long>(status.ullTotalVirtual - status.ullAvailVirtual);
}

void* mapPages(std::size_t bytes) { return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void unmapPages(void* p, std::size_t /*bytes*/) {
    if (p) ::VirtualFree(p, 0, MEM_RELEASE);
}

namespace {
_locale_t cLocale() {
    static _locale_t loc = ::_create_locale(LC_ALL, "C");
    return loc;
}
}  // namespace

namespace {
// The system's strtod does not read "inf", "nan" or hexadecimal numbers and
// is not always rounded correctly, so the digits go through from_chars,
// which gives the POSIX build's strtod results to the bit; what strtod does
// around it (leading white space, a sign, "0x") is done here. False when no
// number starts the text.
bool readLeadingDouble(const char* text, double* out) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    std::chars_format format = std::chars_format::general;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        format = std::chars_format::hex;
        p += 2;
    }
    double value = 0.0;
    // from_chars would take a second sign.
    const auto err =
        *p == '-' || *p == '+' ? std::errc::invalid_argument : std::from_chars(p, p + std::strlen(p), value, format).ec;
    if (err == std::errc::result_out_of_range) {
        *out = ::_strtod_l(text, nullptr, cLocale());  // HUGE_VAL or 0
        return true;
    }
    if (err != std::errc()) {
        // After "0x" the "0" itself was read, with its sign.
        if (format != std::chars_format::hex) return false;
        *out = negative ? -0.0 : 0.0;
        return true;
    }
    *out = negative ? -value : value;
    return true;
}
}  // namespace

double toDouble(const char* text) {
    double value = 0.0;
    readLeadingDouble(text, &value);
    return value;
}

// Through 64 bits, as on POSIX (where long has them), so that an out-of-range
// text gives the same int on both.
int toInt(const char* text) { return static_cast<int>(::_strtoi64_l(text, nullptr, 10, cLocale())); }

}  // namespace quil::platform
