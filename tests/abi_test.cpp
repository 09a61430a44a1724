// What an application linking libquil.so sees.
#include <gtest/gtest.h>

#include <cxxabi.h>
#include <dlfcn.h>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "declared_api.h"
#include "quil.h"

namespace {

std::set<std::string> exportedFunctions() {
    std::set<std::string> names;
    std::string cmd = std::string("nm -D --defined-only ") + QUIL_SO_PATH;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return names;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        char addr[64], type[8], name[400];
        if (std::sscanf(line, "%63s %7s %399s", addr, type, name) == 3 && (type[0] == 'T' || type[0] == 'W'))
            names.insert(name);
    }
    pclose(p);
    return names;
}

// The C++ standard library's inline functions are exported where instantiated.
bool isStandardLibrary(const std::string& n) {
    int status = 0;
    char* d = abi::__cxa_demangle(n.c_str(), nullptr, nullptr, &status);
    // Instantiations over the library's own types are hidden with them.
    const bool std = status == 0 && std::string(d).find("std::") != std::string::npos &&
                     std::string(d).find("quil") == std::string::npos;
    std::free(d);
    return std;
}

TEST(Abi, ExactlyTheDeclaredApiIsExported) {
    const auto exported = exportedFunctions();
    const auto declared = quil::test::declaredFunctions(QUIL_HEADER_PATH);
    ASSERT_FALSE(exported.empty()) << "nm could not read " << QUIL_SO_PATH;
    ASSERT_GT(declared.size(), 20u) << "could not read " << QUIL_HEADER_PATH;
    for (const auto& n : declared) EXPECT_TRUE(exported.count(n)) << "declared but not exported: " << n;
    for (const auto& n : exported)
        EXPECT_TRUE(declared.count(n) || isStandardLibrary(n) || n == "_init" || n == "_fini")
            << "internal symbol exported: " << n;
}

TEST(Abi, CJsonIsReachableThroughTheLibrary) {
    void* h = dlopen(QUIL_SO_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    using Parse = cJSON* (*)(const char*);
    using Delete = void (*)(cJSON*);
    auto parse = reinterpret_cast<Parse>(dlsym(h, "cJSON_Parse"));
    auto del = reinterpret_cast<Delete>(dlsym(h, "cJSON_Delete"));
    ASSERT_NE(parse, nullptr);
    ASSERT_NE(del, nullptr);
    cJSON* j = parse("{\"retState\":0}");
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(j, "retState")->valueint, 0);  // declared through quil.h
    del(j);
    dlclose(h);
}

}  // namespace
