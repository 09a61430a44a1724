// Temporary directories of the tests. LogDir is the application directory
// for tests that read the trace log: the library puts "EnableLogout.ini" and
// "QUILLinkFile.log" there. The log is set up by the first open of the
// process, so such tests rely on running in a process of their own (each
// test case does).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace quil::test {

// A directory of its own below /tmp, removed with what it holds.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "quil") {
        std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(tmpl.data())) dir_ = tmpl;
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
    std::string read(const std::string& name) const {
        std::ifstream f(file(name), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

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
    std::string log() const { return read("QUILLinkFile.log"); }
};

}  // namespace quil::test
