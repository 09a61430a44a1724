// A temporary application directory for tests that read the trace log: the
// library puts "EnableLogout.ini" and "QUILLinkFile.log" there. The log is
// set up by the first open of the process, so such tests rely on running in
// a process of their own (each test case does).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace quil::test {

class LogDir {
public:
    LogDir() {
        char tmpl[] = "/tmp/quil-log-XXXXXX";
        if (mkdtemp(tmpl)) dir_ = tmpl;
        platform::overrideApplicationDirectory(dir_);
    }
    ~LogDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    LogDir(const LogDir&) = delete;
    LogDir& operator=(const LogDir&) = delete;

    bool ok() const { return !dir_.empty(); }
    const std::string& path() const { return dir_; }
    void writeIni(int enable, int level) const {
        std::ofstream(dir_ + "/EnableLogout.ini")
            << "[EnableOutput]\r\nEnable=" << enable << "\r\n[LevelOutput]\r\nLevel=" << level << "\r\n";
    }
    std::string log() const { return read("QUILLinkFile.log"); }
    std::string read(const char* name) const {
        std::ifstream f(dir_ + "/" + name);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

private:
    std::string dir_;
};

}  // namespace quil::test
