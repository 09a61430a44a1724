// The functions a public header declares, read from its text: what the
// shared library must export, no more and no less.
#pragma once

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace quil::test {

inline constexpr const char* kCJsonMarker = R"(CJSON_PUBLIC\([^)]*\))";

// Names of the functions whose declarations begin with what the regular
// expression marker matches ("QUIL_API", or kCJsonMarker for cJSON's header).
// Words beginning with "__" are the attributes of the marker's own
// definitions.
inline std::set<std::string> declaredFunctions(const std::string& headerPath, const std::string& marker = "QUIL_API") {
    std::ifstream header(headerPath);
    std::stringstream text;
    text << header.rdbuf();
    std::set<std::string> names;
    const std::regex decl(marker + R"([ \t]+[^;(\n]*?\b(\w+)\s*\()");
    const std::string t = text.str();
    for (auto it = std::sregex_iterator(t.begin(), t.end(), decl); it != std::sregex_iterator(); ++it)
        if ((*it)[1].str().rfind("__", 0) != 0) names.insert((*it)[1]);
    return names;
}

}  // namespace quil::test
