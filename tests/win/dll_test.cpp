// What a Windows application linking quil.dll sees: the export table as the
// loader reads it, and functions found by their exported names.
#include <gtest/gtest.h>

// clang-format off
#include <windows.h>
// clang-format on

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "declared_api.h"
#include "quil.h"

namespace {

// These are exported under their __stdcall decorated names only, as in the
// DLL that applications were built against; every other function of quil.h
// under its plain name.
const std::map<std::string, std::string> kDecoratedOnly = {
    {"QUIL_GetCameraSpotType", "_QUIL_GetCameraSpotType@8"},
    {"QUIL_Refresh", "_QUIL_Refresh@4"},
    {"QUIL_SetFormula", "_QUIL_SetFormula@8"},
    {"QUIL_DeriveFormula", "_QUIL_DeriveFormula@8"},
};

HMODULE library() { return ::GetModuleHandleA("quil.dll"); }

// The exported function of that name as the type F the caller knows it by.
template <class F>
F entry(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(library(), name)));
}

// The names of the module's export table, in the table's order.
std::vector<std::string> exportTable(HMODULE module) {
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::vector<std::string> names;
    if (dir.VirtualAddress == 0) return names;
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.emplace_back(reinterpret_cast<const char*>(base + nameRvas[i]));
    return names;
}

TEST(DllExports, ExactlyTheDeclaredFunctions) {
    ASSERT_NE(library(), nullptr);
    const auto table = exportTable(library());
    const std::set<std::string> exported(table.begin(), table.end());
    const auto declared = quil::test::declaredFunctions(QUIL_HEADER_PATH);
    const auto cjson = quil::test::declaredFunctions(QUIL_CJSON_HEADER_PATH, quil::test::kCJsonMarker);
    ASSERT_GT(declared.size(), 20u) << "could not read " << QUIL_HEADER_PATH;
    ASSERT_GT(cjson.size(), 20u) << "could not read " << QUIL_CJSON_HEADER_PATH;
    ASSERT_TRUE(declared.count("QUIL_Refresh") && declared.count("QUIL_GetCameraSpotType"));

    std::set<std::string> expected(cjson.begin(), cjson.end());
    for (const auto& name : declared) {
        const auto decorated = kDecoratedOnly.find(name);
        expected.insert(decorated != kDecoratedOnly.end() ? decorated->second : name);
    }
    for (const auto& name : expected) EXPECT_TRUE(exported.count(name)) << "not exported: " << name;
    for (const auto& name : exported) EXPECT_TRUE(expected.count(name)) << "exported but not declared: " << name;
}

// The loader finds a name by binary search: the table must be in byte order.
TEST(DllExports, NameTableIsSortedForTheLoader) {
    const auto table = exportTable(library());
    ASSERT_FALSE(table.empty());
    for (std::size_t i = 1; i < table.size(); ++i)
        EXPECT_LT(std::strcmp(table[i - 1].c_str(), table[i].c_str()), 0) << table[i - 1] << " / " << table[i];
}

TEST(DllExports, DecoratedNamesOnlyForTheFourFunctions) {
    const auto declared = quil::test::declaredFunctions(QUIL_HEADER_PATH);
    for (const auto& [plain, decorated] : kDecoratedOnly) {
        if (!declared.count(plain)) continue;  // not in this version of the interface
        EXPECT_NE(::GetProcAddress(library(), decorated.c_str()), nullptr) << decorated;
        EXPECT_EQ(::GetProcAddress(library(), plain.c_str()), nullptr) << plain;
    }
    EXPECT_NE(::GetProcAddress(library(), "QUIL_OpenDeviceETHER"), nullptr);
    EXPECT_EQ(::GetProcAddress(library(), "_QUIL_OpenDeviceETHER@12"), nullptr);
}

// Called through GetProcAddress, as applications that load the DLL at run
// time do: a wrong calling convention would unbalance the stack here.
TEST(DllExports, CallableByTheirExportedNames) {
    using SpotType = int32_t(__stdcall*)(int32_t, uint32_t*);
    using DeviceType = int32_t(__stdcall*)(int32_t, int32_t*);
    using Version = int32_t (*)();
    auto spot = entry<SpotType>("_QUIL_GetCameraSpotType@8");
    auto type = entry<DeviceType>("QUIL_GetDeviceType");
    auto version = entry<Version>("VersionDll");
    ASSERT_TRUE(spot && type && version);
    uint32_t s = 0;
    int32_t t = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(spot(64, &s), QUIL_ERROR_DEVICE_ID);
        EXPECT_EQ(type(-1, &t), QUIL_ERROR_DEVICE_ID);
        EXPECT_EQ(version(), 0x01000005);
    }
    EXPECT_EQ(VersionDll(), 0x01000005) << "through the import library";
    EXPECT_STREQ(quil_result_name(QUIL_ERROR_REPLY), "QUIL_ERROR_REPLY");
}

TEST(DllExports, CJsonThroughTheLibrary) {
    using Parse = cJSON*(__stdcall*)(const char*);
    using Item = cJSON*(__stdcall*)(const cJSON*, const char*);
    using Delete = void(__stdcall*)(cJSON*);
    auto parse = entry<Parse>("cJSON_Parse");
    auto item = entry<Item>("cJSON_GetObjectItem");
    auto del = entry<Delete>("cJSON_Delete");
    ASSERT_TRUE(parse && item && del);
    cJSON* j = parse("{\"retState\":7}");
    ASSERT_NE(j, nullptr);
    const cJSON* state = item(j, "retState");
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->valueint, 7);
    del(j);
}

}  // namespace
