// What the settings-file tests share.
#pragma once

#include <tinyxml.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log_dir.h"

namespace quil::test {

inline std::vector<std::string> filesIn(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    return names;
}

// The first element on the path of names below parent, or null.
inline const TiXmlElement* find(const TiXmlNode* parent, std::initializer_list<const char*> names) {
    const TiXmlNode* at = parent;
    for (const char* n : names) at = at ? at->FirstChildElement(n) : nullptr;
    return at ? at->ToElement() : nullptr;
}

// The attribute named like the element, or "(none)" when it has none.
inline std::string valueOf(const TiXmlElement* e) {
    if (!e) return "(no element)";
    const char* v = e->Attribute(e->Value());
    return v ? v : "(none)";
}

}  // namespace quil::test
