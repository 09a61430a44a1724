// Time, ids, paths, INI files and memory status on POSIX.
#include "platform/platform.h"
#include "platform/posix/ini_file.h"

#include <locale.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace quil::platform {

LocalTime localTime() {
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    std::tm tm{};
    time_t secs = tv.tv_sec;
    ::localtime_r(&secs, &tm);
    return LocalTime{tm.tm_year + 1900,
                     tm.tm_mon + 1,
                     tm.tm_mday,
                     tm.tm_hour,
                     tm.tm_min,
                     tm.tm_sec,
                     static_cast<int>(tv.tv_usec / 1000)};
}

long processId() { return static_cast<long>(::getpid()); }
long threadId() { return static_cast<long>(::syscall(SYS_gettid)); }

std::string executablePath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return buf;
}

bool pinProcessToOneCpu() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        // Threads started later inherit the calling thread's set; this is
        // called before the measured threads start.
        return ::sched_setaffinity(0, sizeof one, &one) == 0;
    }
    return false;
}

namespace {
std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool sameNoCase(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}
}  // namespace

int iniReadInt(const std::string& path, const char* section, const char* key, int def) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return def;
    const int result = iniReadIntFrom(f, section, key, def);
    std::fclose(f);
    return result;
}

int iniReadIntFrom(std::FILE* f, const char* section, const char* key, int def) {
    bool inSection = false;
    char line[1024];
    int result = def;
    while (std::fgets(line, sizeof line, f)) {
        std::string l = trim(line);
        if (l.empty() || l[0] == ';') continue;
        if (l[0] == '[') {
            size_t close = l.find(']');
            inSection = close != std::string::npos && sameNoCase(trim(l.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection) continue;
        size_t eq = l.find('=');
        if (eq == std::string::npos || !sameNoCase(trim(l.substr(0, eq)), key)) continue;
        // The first matching key wins, as with the profile reader.
        result = toInt(trim(l.substr(eq + 1)).c_str());
        break;
    }
    return result;
}

int memoryLoadPercent() {
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return -1;
    long long total = -1, available = -1;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        long long v;
        if (std::sscanf(line, "MemTotal: %lld kB", &v) == 1)
            total = v;
        else if (std::sscanf(line, "MemAvailable: %lld kB", &v) == 1)
            available = v;
    }
    std::fclose(f);
    if (total <= 0 || available < 0) return -1;
    return static_cast<int>((total - available) * 100 / total);
}

long long residentBytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long long pages = 0, resident = 0;
    int n = std::fscanf(f, "%lld %lld", &pages, &resident);
    std::fclose(f);
    return n == 2 ? resident * ::sysconf(_SC_PAGESIZE) : -1;
}

long long addressSpaceBytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long long pages = 0;
    int n = std::fscanf(f, "%lld", &pages);
    std::fclose(f);
    return n == 1 ? pages * ::sysconf(_SC_PAGESIZE) : -1;
}

void* mapPages(std::size_t bytes) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void unmapPages(void* p, std::size_t bytes) {
    if (p) ::munmap(p, bytes);
}

namespace {
locale_t cLocale() {
    static locale_t loc = ::newlocale(LC_ALL_MASK, "C", nullptr);
    return loc;
}
}  // namespace

double toDouble(const char* text) { return ::strtod_l(text, nullptr, cLocale()); }
int toInt(const char* text) { return static_cast<int>(::strtol_l(text, nullptr, 10, cLocale())); }

}  // namespace quil::platform
