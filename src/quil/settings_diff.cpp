// Two settings documents compared setting by setting, and a controller's
// settings as a document in memory: what `quilctl settings diff` and the
// Python package's settings.diff show.
//
// A document is flattened into its settings in document order. A setting is
// an element that has attributes or no child elements, named by its path
// below its block; the block is the controller-wide environment, a head, an
// OUT or the common settings of a program, or the file's own data (version
// and save time). An element with one attribute holds that attribute's value;
// one with several is one setting per attribute ("path@attribute"); one
// without attributes is a setting without value ("").
#include <tinyxml.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "quil.h"
#include "quil/device.h"
#include "quil/settings_file.h"
#include "quil/settings_schema.h"

namespace quil {
namespace {

using namespace settings;

struct Setting {
    int program;  // -1 outside the programs
    std::string block, path, value;
    bool metadata;  // the file's own data: left out unless asked for
};

struct Flattener {
    std::vector<Setting> settings;
    std::map<std::string, int> seen;  // keys met so far, for repeated elements

    void add(int program, const std::string& block, const std::string& path, const char* value, bool metadata) {
        Setting s{program, block, path, value ? value : "", metadata};
        // A repeated element is the same setting again: told apart by its count.
        const std::string key = std::to_string(program) + '\n' + block + '\n' + path;
        if (const int n = ++seen[key]; n > 1) s.path += "#" + std::to_string(n);
        settings.push_back(std::move(s));
    }

    void element(int program, const std::string& block, const std::string& path, const TiXmlElement& e, bool metadata) {
        const TiXmlAttribute* first = e.FirstAttribute();
        if (first && !first->Next()) {
            add(program, block, path, first->Value(), metadata);
        } else if (first) {
            for (const TiXmlAttribute* a = first; a; a = a->Next())
                add(program, block, path + "@" + a->Name(), a->Value(), metadata);
        } else if (!e.FirstChildElement()) {
            add(program, block, path, "", metadata);
        }
        for (const TiXmlElement* c = e.FirstChildElement(); c; c = c->NextSiblingElement())
            element(program, block, path + "/" + c->Value(), *c, metadata);
    }

    // The elements below a block, each named by its path below it.
    void block(int program, const std::string& name, const TiXmlElement& b, bool metadata = false) {
        for (const TiXmlElement* c = b.FirstChildElement(); c; c = c->NextSiblingElement())
            element(program, name, c->Value(), *c, metadata || isAddress(c->Value()));
    }

    static bool isAddress(const char* name) {
        return std::strcmp(name, kEnvIpAddress) == 0 || std::strcmp(name, kEnvSubnetMask) == 0 ||
               std::strcmp(name, kEnvGateway) == 0;
    }

    // "Head02" in HeadParameter gives "head 2"; anything else keeps its name.
    static std::string numbered(const TiXmlElement& e, const Numbered& n, const char* word) {
        const std::size_t prefix = std::strlen(n.prefix);
        const char* name = e.Value();
        if (std::strncmp(name, n.prefix, prefix) == 0 && name[prefix] >= '1' && name[prefix] <= '0' + n.last &&
            name[prefix + 1] == '\0')
            return std::string(word) + " " + name[prefix];
        return name;
    }

    void program(const TiXmlElement& prog) {
        const char* text =
            prog.Attribute(kProgramAttrOld) ? prog.Attribute(kProgramAttrOld) : prog.Attribute(kProgramAttr);
        const auto n = text ? integerText(text) : std::nullopt;
        const int p = n && *n >= 0 && *n < kPrograms ? *n : -1;
        for (const TiXmlElement* part = prog.FirstChildElement(); part; part = part->NextSiblingElement()) {
            const char* name = part->Value();
            if (std::strcmp(name, kHeadBlocks.name) == 0 || std::strcmp(name, kOutBlocks.name) == 0) {
                const bool heads = std::strcmp(name, kHeadBlocks.name) == 0;
                for (const TiXmlElement* b = part->FirstChildElement(); b; b = b->NextSiblingElement())
                    block(p, heads ? numbered(*b, kHeadBlocks, "head") : numbered(*b, kOutBlocks, "OUT"), *b);
            } else if (std::strcmp(name, kCommonBlock) == 0) {
                block(p, "common", *part);
            } else {
                element(p, "program", name, *part, false);
            }
        }
    }

    void document(const TiXmlElement& root) {
        for (const TiXmlElement* e = root.FirstChildElement(); e; e = e->NextSiblingElement()) {
            const char* name = e->Value();
            if (std::strcmp(name, kEnvironmentBlock) == 0) {
                block(-1, "environment", *e);
            } else if (std::strcmp(name, kProgramsBlock) == 0) {
                for (const TiXmlElement* prog = e->FirstChildElement(); prog; prog = prog->NextSiblingElement())
                    if (std::strcmp(prog->Value(), kProgram) == 0) program(*prog);
            } else {
                element(-1, "file", name, *e, true);
            }
        }
    }
};

bool flatten(const char* text, std::vector<Setting>& out) {
    TiXmlDocument doc;
    if (!parseSettingsText(doc, text) || !doc.RootElement()) return false;
    Flattener f;
    f.document(*doc.RootElement());
    out = std::move(f.settings);
    return true;
}

std::string keyOf(const Setting& s) { return std::to_string(s.program) + '\n' + s.block + '\n' + s.path; }

std::int32_t compare(const char* a, const char* b, std::int32_t flags, QuilSettingsDifferenceCallback callback,
                     void* user, std::int32_t* count) {
    if (!a || !b || !count) return QUIL_ERROR_NULL_POINTER;
    if (flags & ~QUIL_DIFF_ALL) return QUIL_ERROR_PARAMETER;
    std::vector<Setting> left, right;
    if (!flatten(a, left) || !flatten(b, right)) return QUIL_ERROR_PARAMETER;
    const bool all = flags & QUIL_DIFF_ALL;
    std::map<std::string, const Setting*> rightByKey;
    for (const Setting& s : right) rightByKey.emplace(keyOf(s), &s);
    std::int32_t n = 0;
    auto report = [&](const Setting& where, const Setting* l, const Setting* r) {
        if (where.metadata && !all) return;
        ++n;
        if (!callback) return;
        const QuilSettingsDifference d{where.program, where.block.c_str(), where.path.c_str(),
                                       l ? l->value.c_str() : nullptr, r ? r->value.c_str() : nullptr};
        callback(&d, user);
    };
    for (const Setting& l : left) {
        auto it = rightByKey.find(keyOf(l));
        if (it == rightByKey.end()) {
            report(l, &l, nullptr);
        } else {
            if (it->second->value != l.value) report(l, &l, it->second);
            rightByKey.erase(it);
        }
    }
    for (const Setting& r : right)
        if (rightByKey.count(keyOf(r))) report(r, nullptr, &r);
    *count = n;
    return QUIL_OK;
}

std::int32_t settingsText(std::int32_t id, char** text) {
    std::int32_t r = checkDeviceId(id);
    if (r != QUIL_OK) return r;
    if (!text) return QUIL_ERROR_NULL_POINTER;
    TiXmlDocument doc;
    if ((r = readSettingsDocument(id, doc)) != QUIL_OK) return r;
    TiXmlPrinter printer;
    doc.Accept(&printer);
    char* copy = static_cast<char*>(std::malloc(printer.Size() + 1));
    if (!copy) return QUIL_ERROR_OVERFLOW;
    std::memcpy(copy, printer.CStr(), printer.Size() + 1);
    *text = copy;
    return QUIL_OK;
}

}  // namespace
}  // namespace quil

extern "C" {

QUIL_API int32_t quil_settings_text(int32_t DeviceId, char** text) {
    try {
        return quil::settingsText(DeviceId, text);
    } catch (const std::exception&) {
        return QUIL_ERROR_UNKNOWN;
    }
}

QUIL_API void quil_free(void* p) { std::free(p); }

QUIL_API int32_t quil_settings_diff(const char* a, const char* b, int32_t flags,
                                    QuilSettingsDifferenceCallback callback, void* user, int32_t* count) {
    try {
        return quil::compare(a, b, flags, callback, user, count);
    } catch (const std::exception&) {
        return QUIL_ERROR_UNKNOWN;
    }
}

}  // extern "C"
