// Reading and replacing files on Windows.
#include "platform/platform.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <fcntl.h>
#include <io.h>
#include <algorithm>
#include <cstdio>
#include <string>

namespace quil::platform {
namespace {

constexpr int kNameAttempts = 16;

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// A C stream on a handle of ours, in text mode as fopen "w" would give it.
std::FILE* streamOf(HANDLE h) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        ::CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = ::_fdopen(fd, "w");
    if (!f) ::_close(fd);
    return f;
}

}  // namespace

FileRead readRegularFile(const char* path, std::size_t limit, std::string* text) {
    const HANDLE h = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FileRead::Failed;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        ::CloseHandle(h);
        return FileRead::NotRegular;
    }
    FileRead result = FileRead::Ok;
    try {
        text->clear();
        char chunk[65536];
        while (true) {
            const DWORD want = static_cast<DWORD>(std::min(sizeof chunk, limit + 1 - text->size()));
            DWORD n = 0;
            if (!::ReadFile(h, chunk, want, &n, nullptr)) result = FileRead::Failed;
            if (result != FileRead::Ok || n == 0) break;
            text->append(chunk, n);
            if (text->size() > limit) {
                result = FileRead::TooLarge;
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        result = FileRead::Failed;
    }
    ::CloseHandle(h);
    return result;
}

namespace {

// The file's content on the disk.
bool syncToDisk(std::FILE* file) { return !fileSyncsFail() && ::_commit(::_fileno(file)) == 0; }

}  // namespace

FileReplacement::FileReplacement(const char* path) : target_(path) {
    const std::string folder = folderOf(target_);
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_FILE_EXISTS;
    for (int i = 0; i < kNameAttempts && h == INVALID_HANDLE_VALUE && error == ERROR_FILE_EXISTS; ++i) {
        temp_ = folder + "\\" + temporaryFileName();
        h = ::CreateFileA(temp_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) error = ::GetLastError();
    }
    if (h == INVALID_HANDLE_VALUE) {
        temp_.clear();
        if (error != ERROR_ACCESS_DENIED) return;
        h = ::CreateFileA(target_.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
        if (h == INVALID_HANDLE_VALUE) return;
        inPlace_ = true;
    }
    file_ = streamOf(h);
}

FileReplacement::~FileReplacement() {
    if (file_) std::fclose(file_);
    if (!committed_ && !temp_.empty()) ::DeleteFileA(temp_.c_str());
}

bool FileReplacement::commit() {
    if (!file_) return false;
    bool ok = std::fflush(file_) == 0 && syncToDisk(file_);
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok) return false;
    if (inPlace_) return committed_ = true;
    // ReplaceFile keeps the replaced file's attributes and security; a new
    // target has none to keep and is moved into place.
    committed_ = ::ReplaceFileA(target_.c_str(), temp_.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                                nullptr) != 0 ||
                 ::MoveFileExA(temp_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    return committed_;
}

}  // namespace quil::platform
