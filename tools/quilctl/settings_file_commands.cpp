// Settings files: save a controller's whole configuration into an XML file,
// load such a file into a controller, and say what the file holds.
#include <tinyxml.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "quil.h"
#include "quil/settings_schema.h"

namespace quilctl {
namespace {

constexpr std::size_t kNamesShown = 8;

// What a settings file holds: the values, the settings it has no value for
// (by element name), and the programs its blocks are for.
struct Contents {
    int values = 0;
    std::map<std::string, int> withoutValue;
    std::vector<std::string> programs;
};

// A setting is an element without child elements. It holds a value when it
// has an attribute (named like itself, or "OUTState" / "HeadMode" in a
// selection).
void count(const TiXmlElement* e, Contents& c) {
    for (const TiXmlElement* child = e->FirstChildElement(); child; child = child->NextSiblingElement()) {
        if (std::strcmp(child->Value(), quil::settings::kProgram) == 0) {
            using quil::settings::kProgramAttr, quil::settings::kProgramAttrOld;
            const char* n =
                child->Attribute(kProgramAttrOld) ? child->Attribute(kProgramAttrOld) : child->Attribute(kProgramAttr);
            c.programs.push_back(n ? n : "(active)");
        }
        if (std::strcmp(child->Value(), quil::settings::kProperty) == 0) continue;  // the version and the save time
        if (child->FirstChildElement()) {
            count(child, c);
        } else if (child->FirstAttribute()) {
            ++c.values;
        } else if (std::strcmp(child->Value(), quil::settings::kOutAverageSelection.name) != 0) {
            ++c.withoutValue[child->Value()];
        }
    }
}

bool readContents(const std::string& path, Contents& c) {
    // The library reads the document first, within the limits of a settings
    // file (depth, attributes, size): a hostile one stops there.
    std::ifstream f(path, std::ios::binary);
    std::ostringstream text;
    if (f) text << f.rdbuf();
    const std::string document = text.str();
    int32_t differences = 0;
    if (!f || quil_settings_diff(document.c_str(), document.c_str(), 0, nullptr, nullptr, &differences) != QUIL_OK)
        return false;
    TiXmlDocument doc;
    if (!doc.LoadFile(path.c_str(), TIXML_ENCODING_UTF8) || !doc.FirstChildElement()) return false;
    count(doc.FirstChildElement(), c);
    return true;
}

std::string programList(const Contents& c) {
    std::string text;
    for (const std::string& p : c.programs) text += (text.empty() ? "" : " ") + p;
    return text.empty() ? "none" : text;
}

int save(int32_t id, const std::string& path) {
    if (report("settings save", QUIL_DeriveFormula(id, path.c_str()))) return 1;
    Contents c;
    readContents(path, c);
    std::printf("saved %s: %d values, programs %s\n", path.c_str(), c.values, programList(c).c_str());
    if (c.withoutValue.empty()) return 0;
    int total = 0;
    for (const auto& [name, n] : c.withoutValue) total += n;
    std::printf(
        "%d settings without value, which a load leaves alone (none reads them, this OUT lacks them, they\n"
        "belong to another calculation mode, or the controller refused to report them):\n",
        total);
    // The rarest first: a value that one head or program lacks is more
    // likely a refused read than one that every OUT lacks.
    std::vector<std::pair<int, std::string>> names;
    for (const auto& [name, n] : c.withoutValue) names.emplace_back(n, name);
    std::sort(names.begin(), names.end());
    for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i)
        std::printf("  %-28s %d\n", names[i].second.c_str(), names[i].first);
    if (names.size() > kNamesShown) std::printf("  ... and %zu more names\n", names.size() - kNamesShown);
    return 0;
}

int load(int32_t id, const std::string& path, const Contents& c) {
    QuilLoadReport done{};
    if (report("settings load", quil_load_settings(id, path.c_str(), &done))) return 1;
    std::printf("loaded %s: %d values, programs %s\n", path.c_str(), c.values, programList(c).c_str());
    std::printf("applied %d, refused %d%s%s\n", done.applied, done.refused, done.refused > 0 ? ": " : "",
                done.refusedNames);
    if (done.refused > 0) std::printf("(a refused value leaves that setting as it was)\n");
    return 0;
}

// ------------------------------------------------------------ diff

// One side of a comparison: a file, or with --device a controller's current
// settings, read without writing a file.
struct Source {
    std::string path, address;
    std::string name() const { return address.empty() ? path : "device " + address; }
};

// The document of a source into text; false (with a message) when it
// cannot be had.
bool documentOf(Context& c, const Source& s, std::string& text) {
    if (s.address.empty()) {
        std::ifstream f(s.path, std::ios::binary);
        std::ostringstream all;
        if (f) all << f.rdbuf();
        if (!f) {
            std::fprintf(stderr, "settings diff: cannot read %s\n", s.path.c_str());
            return false;
        }
        text = all.str();
        return true;
    }
    Context device = c;
    device.address = s.address;
    return withDevice(device, [&](int32_t id) {
               char* read = nullptr;
               if (report("settings diff", quil_settings_text(id, &read))) return 1;
               text = read;
               quil_free(read);
               return 0;
           }) == 0;
}

void printDifference(const QuilSettingsDifference* d, void*) {
    std::string where = d->block;
    if (d->program >= 0) where = "program " + std::to_string(d->program) + "  " + where;
    std::printf("%s  %s: %s | %s\n", where.c_str(), d->setting, d->a ? d->a : "(none)", d->b ? d->b : "(none)");
}

// Exit status as diff's: 0 the same settings, 1 different, 2 trouble.
int diff(Context& c) {
    std::vector<Source> sources;
    int32_t flags = 0;
    const auto& a = c.args;
    for (size_t i = 1; i < a.size(); ++i) {
        if (a[i] == "--all") {
            flags |= QUIL_DIFF_ALL;
        } else if (a[i] == "--device" && i + 1 < a.size()) {
            uint8_t ip[4];
            if (!parseIp(a[i + 1], ip)) throw UsageError("--device: not an IPv4 address: " + a[i + 1]);
            sources.push_back({"", a[++i]});
        } else if (a[i].rfind("--", 0) == 0) {
            usage();
        } else {
            sources.push_back({a[i], ""});
        }
    }
    if (sources.size() != 2) usage();
    std::string texts[2];
    for (int k = 0; k < 2; ++k)
        if (!documentOf(c, sources[static_cast<size_t>(k)], texts[k])) return 2;
    int32_t count = 0;
    const int32_t r = quil_settings_diff(texts[0].c_str(), texts[1].c_str(), flags, printDifference, nullptr, &count);
    if (r != QUIL_OK) {
        std::fprintf(stderr, "settings diff: %s or %s is no settings document (%s %d)\n", sources[0].name().c_str(),
                     sources[1].name().c_str(), quil_result_name(r), r);
        return 2;
    }
    if (count > 0)
        std::printf("%d settings differ (%s | %s)\n", count, sources[0].name().c_str(), sources[1].name().c_str());
    return count > 0 ? 1 : 0;
}

int cmdSettings(Context& c) {
    const auto& a = c.args;
    if (!a.empty() && a[0] == "diff") return diff(c);
    if (a.size() != 2 || (a[0] != "save" && a[0] != "load")) usage();
    const std::string path = a[1];
    if (a[0] == "save") return withDevice(c, [&](int32_t id) { return save(id, path); });
    // A file that is no document is refused before the controller is asked.
    Contents contents;
    if (!readContents(path, contents)) {
        std::fprintf(stderr, "settings load: %s is no settings file (not readable as an XML document)\n", path.c_str());
        return 1;
    }
    // The library loads such a document without complaint, and changes nothing.
    if (contents.values == 0) {
        std::fprintf(stderr, "settings load: %s holds no settings\n", path.c_str());
        return 1;
    }
    return withDevice(c, [&](int32_t id) { return load(id, path, contents); });
}

void details(std::FILE* to) {
    std::fprintf(to,
                 "\nThe file (XML, UTF-8) holds the controller-wide serial, autosend, invalid-data, encoder and I/O\n"
                 "settings, and for each of the programs 0 to 7 the settings of the 4 heads, the 8 OUTs and the\n"
                 "common settings. A save replaces FILE only once the whole document is written; a load writes\n"
                 "every value the file holds into its program. The network address is saved for reference and\n"
                 "never loaded.\n");
}

Registration settingsFiles(25, {
                                   {"settings", "save FILE | load FILE | diff A B [--all]",
                                    "save the whole configuration into FILE, load FILE into the controller, or "
                                    "compare two settings (each A and B a FILE or --device ADDRESS: exit 0 the same, "
                                    "1 different, 2 trouble; --all also the save time and addresses)",
                                    cmdSettings, details},
                               });

}  // namespace
}  // namespace quilctl
