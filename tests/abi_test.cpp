// What an application linking libquil.so sees.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <set>
#include <string>

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

// Inline functions of the C++ standard library keep default visibility in
// any shared object that instantiates them; they are not ours.
bool isStandardLibrary(const std::string& n) {
    int status = 0;
    char* d = abi::__cxa_demangle(n.c_str(), nullptr, nullptr, &status);
    const bool std = status == 0 && std::string(d).rfind("std::", 0) == 0;
    std::free(d);
    return std;
}

bool isApiName(const std::string& n) {
    if (isStandardLibrary(n)) return true;
    static const std::set<std::string> plain = {
        "VersionDll", "LinkConnect", "DeviceInit", "LinkDisconnect", "GetDataBuff", "GetDataBuffLen",
        "GetTmpBuff", "SwapData",    "quil_result_name", "quil_result_message",
    };
    return plain.count(n) || n.rfind("QUIL_", 0) == 0 || n.rfind("cJSON_", 0) == 0 || n == "_init" || n == "_fini";
}

TEST(Abi, OnlyTheApiIsExported) {
    auto names = exportedFunctions();
    ASSERT_FALSE(names.empty()) << "nm could not read " << QUIL_SO_PATH;
    for (const char* required : {"VersionDll", "LinkConnect", "SwapData", "QUIL_EthernetOpen", "quil_result_name"})
        EXPECT_TRUE(names.count(required)) << required;
    for (const auto& n : names) EXPECT_TRUE(isApiName(n)) << "internal symbol exported: " << n;
}

TEST(Abi, CallableThroughTheSharedLibrary) {
    EXPECT_EQ(VersionDll(), 0x01000005);
    EXPECT_STREQ(quil_result_name(QUIL_ERROR_REPLY), "QUIL_ERROR_REPLY");
    EXPECT_EQ(sizeof(QuilCalcData), 12u);
}

}  // namespace
