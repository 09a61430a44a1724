// Reading and replacing files on POSIX.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

namespace quil::platform {
namespace {

// Symbolic links followed in a row before a path counts as a loop.
constexpr int kMaxLinks = 40;
constexpr int kNameAttempts = 16;

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path finally names: symbolic links followed, each relative one
// from the folder of the link. A path that names nothing (yet) is its own target.
std::string finalTarget(const std::string& path) {
    std::string current = path;
    for (int i = 0; i < kMaxLinks; ++i) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        char link[PATH_MAX];
        const ssize_t n = ::readlink(current.c_str(), link, sizeof link - 1);
        if (n <= 0) return current;
        const std::string to(link, static_cast<std::size_t>(n));
        current = to[0] == '/' ? to : folderOf(current) + "/" + to;
    }
    return current;
}

}  // namespace

FileRead readRegularFile(const char* path, std::size_t limit, std::string* text) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return FileRead::Failed;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return FileRead::NotRegular;
    }
    FileRead result = FileRead::Ok;
    try {
        text->clear();
        char chunk[65536];
        while (true) {
            const std::size_t want = std::min(sizeof chunk, limit + 1 - text->size());
            const ssize_t n = ::read(fd, chunk, want);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) result = FileRead::Failed;
            if (n <= 0) break;
            text->append(chunk, static_cast<std::size_t>(n));
            if (text->size() > limit) {
                result = FileRead::TooLarge;
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        result = FileRead::Failed;
    }
    ::close(fd);
    return result;
}

namespace {

// The file's content on the disk.
bool syncToDisk(std::FILE* file) { return !fileSyncsFail() && ::fsync(::fileno(file)) == 0; }

}  // namespace

FileReplacement::FileReplacement(const char* path) : target_(finalTarget(path)) {
    struct stat old {};
    const bool exists = ::stat(target_.c_str(), &old) == 0;
    const std::string folder = folderOf(target_);
    int fd = -1;
    for (int i = 0; i < kNameAttempts && fd < 0; ++i) {
        temp_ = folder + "/" + temporaryFileName();
        fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd >= 0) {
        // The new file gets the permission bits of the one it replaces.
        if (exists) ::fchmod(fd, old.st_mode & 07777);
    } else if (errno == EACCES && exists && S_ISREG(old.st_mode) && ::access(target_.c_str(), W_OK) == 0) {
        temp_.clear();
        inPlace_ = true;
        fd = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    } else {
        temp_.clear();
    }
    if (fd < 0) return;
    file_ = ::fdopen(fd, "w");
    if (!file_) ::close(fd);
}

FileReplacement::~FileReplacement() {
    if (file_) std::fclose(file_);
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

bool FileReplacement::commit() {
    if (!file_) return false;
    bool ok = std::fflush(file_) == 0 && syncToDisk(file_);
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok) return false;
    if (inPlace_) return committed_ = true;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return false;
    committed_ = true;
    // The new name is on the disk only once its folder is.
    const int dir = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace quil::platform
