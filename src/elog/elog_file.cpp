// File back end of the trace log. All state here is guarded by the core's
// output lock, which every caller holds.
#include "elog/elog_file.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "elog/elog.h"
#include "platform/platform.h"

namespace {

constexpr const char* kLogFileName = "QUILLinkFile.log";
constexpr std::uint32_t kMaxSize = 104857600;  // 100 MiB
constexpr std::uint32_t kMaxRotate = 20;

ElogFileCfg local{};
std::FILE* fp = nullptr;
// The configured file is opened by the first line written to it, so that a
// process that never logs (output off, or every line filtered out) leaves no
// empty log file behind. Set by elog_file_config for a usable name, cleared by
// the first open, whether it succeeds or not.
bool openPending = false;
bool init_ok = false;

using PathBuf = char[sizeof ElogFileCfg::name];

// The pieces one after another into out; false (out left empty) when they do
// not fit with the terminator.
bool joinInto(PathBuf& out, std::initializer_list<const char*> pieces) {
    std::size_t len = 0;
    for (const char* piece : pieces) {
        const std::size_t n = std::strlen(piece);
        if (n >= sizeof out - len) {
            out[0] = '\0';
            return false;
        }
        std::memcpy(out + len, piece, n);
        len += n;
    }
    out[len] = '\0';
    return true;
}

// name.<index> into out; false when it does not fit.
bool rotatedName(PathBuf& out, const char* name, std::uint32_t index) {
    char suffix[12];  // "." and up to ten digits
    std::snprintf(suffix, sizeof suffix, ".%u", static_cast<unsigned>(index));
    return joinInto(out, {name, suffix});
}

// Every name the rotation will build must fit, or a cut path could rename or
// delete files that are not ours.
bool nameUsable(const ElogFileCfg& cfg) {
    if (std::memchr(cfg.name, '\0', sizeof cfg.name) == nullptr || cfg.name[0] == '\0') return false;
    if (cfg.max_rotate == 0) return true;
    PathBuf longest;
    return rotatedName(longest, cfg.name, cfg.max_rotate - 1);
}

}  // namespace

void elog_file_init(const char* directory) {
    if (init_ok) return;
    ElogFileCfg cfg{};
    // No directory (the program's path is unknown) or one too long for the
    // path buffer leaves the name empty: logging then writes nothing.
    if (directory != nullptr && directory[0] != '\0')
        joinInto(cfg.name, {directory, quil::platform::kPathSeparator, kLogFileName});
    cfg.max_size = kMaxSize;
    cfg.max_rotate = kMaxRotate;
    elog_file_config(&cfg);
    init_ok = true;
}

void elog_file_config(const ElogFileCfg* cfg) {
    if (fp != nullptr) {
        std::fclose(fp);
        fp = nullptr;
    }
    local = ElogFileCfg{};
    openPending = false;
    if (!nameUsable(*cfg)) return;
    std::memcpy(local.name, cfg->name, sizeof local.name);
    local.max_size = cfg->max_size;
    local.max_rotate = cfg->max_rotate;
    openPending = true;
}

void elog_file_write(const char* log, std::size_t size) {
    if (openPending) {
        openPending = false;
        fp = std::fopen(local.name, "a+");
    }
    if (fp == nullptr) return;
    ELOG_ASSERT(init_ok);
    ELOG_ASSERT(log);

    std::fseek(fp, 0, SEEK_END);
    // ftell's -1 on failure compares as huge, so a file of unknown size rotates.
    const unsigned long fileSize = static_cast<unsigned long>(std::ftell(fp));
    if (fileSize > local.max_size && !elog_file_rotate()) return;
    // A failed reopen after rotating leaves no file; the line is lost.
    if (fp == nullptr) return;
    std::fwrite(log, 1, size, fp);
    std::fflush(fp);
}

bool elog_file_rotate() {
    if (fp != nullptr) {
        std::fclose(fp);
        fp = nullptr;
    }
    bool ok = true;
    PathBuf oldPath;
    PathBuf newPath;
    // Oldest first, so each file moves into a slot that has just been emptied.
    for (std::uint32_t n = local.max_rotate; n-- > 0;) {
        if (n > 0)
            rotatedName(oldPath, local.name, n - 1);
        else
            std::memcpy(oldPath, local.name, sizeof oldPath);
        rotatedName(newPath, local.name, n);
        if (elog_file_readable(newPath)) std::remove(newPath);
        if (elog_file_readable(oldPath) && std::rename(oldPath, newPath) != 0) {
            ok = false;
            break;
        }
    }
    fp = std::fopen(local.name, "a+");
    return ok;
}
