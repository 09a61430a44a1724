// Temporary directories of the tests. LogDir is the application directory of
// a test that reads the trace log, set up once per process.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// A trace log's text with its line ends as "\n" (it is written in text mode).
inline std::string logText(const std::filesystem::path& path) {
    std::string text = readBytes(path);
#ifdef _WIN32
    std::erase(text, '\r');
#endif
    return text;
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline void setEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
    ::_putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

// A new temporary directory, removed with what it holds.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "quil") {
        static int made = 0;
        std::error_code ec;
        const auto p = std::filesystem::temp_directory_path(ec) /
                       (prefix + "-" + std::to_string(platform::processId()) + "-" + std::to_string(++made));
        std::filesystem::remove_all(p, ec);  // left by an earlier process of the same id
        if (std::filesystem::create_directory(p, ec)) dir_ = p.string();
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
