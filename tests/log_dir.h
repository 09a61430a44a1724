// Temporary directories of the tests. LogDir is the application directory
// for tests that read the trace log: the library puts "EnableLogout.ini" and
// "QUILLinkFile.log" there. The log is set up by the first open of the
// process, so such tests rely on running in a process of their own (each
// test case does).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace quil::test {

inline std::string readBytes(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The trace log is written in the C library's text mode, which stores each
// "\n" as the system's line end ("\r\n" on Windows); found out once by
// writing a line in that mode.
inline const std::string& textLineEnd() {
    static const std::string end = [] {
        namespace fs = std::filesystem;
        const fs::path p = fs::temp_directory_path() / ("quil-line-end-" + std::to_string(platform::processId()));
        if (std::FILE* f = std::fopen(p.string().c_str(), "w")) {
            std::fputs("\n", f);
            std::fclose(f);
        }
        std::string bytes = readBytes(p);
        std::error_code ec;
        fs::remove(p, ec);
        return bytes;
    }();
    return end;
}

// A log file's text as the library wrote it, before the text mode's
// translation of its line ends.
inline std::string logText(const std::filesystem::path& path) {
    const std::string bytes = readBytes(path);
    const std::string& end = textLineEnd();
    std::string text;
    std::size_t start = 0;
    for (std::size_t at; (at = bytes.find(end, start)) != std::string::npos; start = at + end.size())
        text.append(bytes, start, at - start).append("\n");
    return text.append(bytes, start, std::string::npos);
}

// Sets a variable of the process environment, where the C library's getenv
// reads it.
inline void setEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
    ::_putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

// A new directory under the system's temporary directory, with a name no
// other test process picks, removed with what it holds.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "quil") {
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path base = fs::temp_directory_path(ec);
        std::random_device random;
        for (int attempt = 0; !ec && dir_.empty() && attempt < 100; ++attempt) {
            const fs::path p = base / (prefix + "-" + std::to_string(platform::processId()) + "-" +
                                       std::to_string(random() % 1000000));
            if (fs::create_directory(p, ec)) dir_ = p.string();
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !dir_.empty(); }
    const std::string& path() const { return dir_; }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    std::string read(const std::string& name) const { return readBytes(file(name)); }

private:
    std::string dir_;
};

class LogDir : public TempDir {
public:
    LogDir() : TempDir("quil-log") { platform::overrideApplicationDirectory(path()); }
    void writeIni(int enable, int level) const {
        std::ofstream(file("EnableLogout.ini"))
            << "[EnableOutput]\r\nEnable=" << enable << "\r\n[LevelOutput]\r\nLevel=" << level << "\r\n";
    }
    std::string log() const { return logText(file("QUILLinkFile.log")); }
};

}  // namespace quil::test
