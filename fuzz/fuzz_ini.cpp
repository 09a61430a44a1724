// The INI reader of the log set-up, on documents fed from memory.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "fuzz_text.h"
#include "platform/posix/ini_file.h"

namespace {

struct Lookup {
    const char* section;
    const char* key;
    int def;
};
// What the log set-up looks up.
const Lookup kLookups[] = {{"EnableOutput", "Enable", 0}, {"LevelOutput", "Level", 3}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const Lookup& l = kLookups[data[0] % std::size(kLookups)];
    std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data + 1), size - 1, "rb");
    if (!f) return 0;
    const int v = quil::platform::iniReadIntFrom(f, l.section, l.key, l.def);
    std::fclose(f);
    // Without a section header and an equals sign there is nothing to find.
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (text.find('[') == std::string::npos || text.find('=') == std::string::npos) FUZZ_EXPECT(v == l.def);
    return 0;
}
