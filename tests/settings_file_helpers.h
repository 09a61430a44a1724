// What the settings-file tests share: a temporary directory for the files,
// a file's text, and the reading of a saved document.
#pragma once

#include <tinyxml.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quil::test {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/quil-settings-XXXXXX";
        if (mkdtemp(tmpl)) dir_ = tmpl;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !dir_.empty(); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // The names of the files in the directory.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path().filename());
        return names;
    }

private:
    std::string dir_;
};

inline std::string readText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The first element on the path of names below parent ("ProgParameter",
// "ProgNo"), or null.
inline const TiXmlElement* find(const TiXmlNode* parent, std::initializer_list<const char*> names) {
    const TiXmlNode* at = parent;
    for (const char* n : names) {
        at = at ? at->FirstChildElement(n) : nullptr;
        if (!at) return nullptr;
    }
    return at ? at->ToElement() : nullptr;
}

// The attribute named like the element, or "(none)" when it has none.
inline std::string valueOf(const TiXmlElement* e) {
    if (!e) return "(no element)";
    const char* v = e->Attribute(e->Value());
    return v ? v : "(none)";
}

}  // namespace quil::test
