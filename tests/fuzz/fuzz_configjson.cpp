// Fuzz target: the configuration as JSON. An input is a JSON text, whose import fails with a
// message or gives a table whose export imports to the same table; or, after a first byte 1, a
// data file image, whose export imports again, if at all, to the same bytes of every link in use
// whose generator data fits its field.
#include "app/cli/config_json.h"
#include "tests/fuzz/fuzz_input.h"

#include <algorithm>
#include <cstring>

using namespace pw::app;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static LinkTable base, table, again; // large: kept off the stack
    SettingsBlock settings{}, settings2{};
    if (size == 0 || data[0] != 1) {
        const std::string text(reinterpret_cast<const char*>(data), size);
        const ImportResult first = ImportConfigJson(text, base, {}, settings, table);
        REQUIRE(first.ok == first.error.empty());
        if (first.ok) {
            const std::string json = ExportConfigJson(settings, table);
            REQUIRE(ImportConfigJson(json, base, {}, settings2, again).ok);
            REQUIRE(std::memcmp(&table, &again, sizeof table) == 0);
            REQUIRE(ExportConfigJson(settings2, again) == json);
        }
        return 0;
    }
    table = LinkTable{};
    std::copy_n(data + 1, std::min(size - 1, sizeof settings),
                reinterpret_cast<std::uint8_t*>(&settings));
    if (size > 1 + sizeof settings) {
        std::copy_n(data + 1 + sizeof settings, std::min(size - 1 - sizeof settings, sizeof table),
                    reinterpret_cast<std::uint8_t*>(&table));
    }
    for (std::uint32_t i = 0; i < MAX_LINKS; ++i) { // as the data file's load leaves it
        LinkEntry& e = table.entry[i];
        e.linkId = i;
        e.inUse = e.inUse == 1 ? 1 : 0;
        e.config.name[LINK_NAME_MAX] = e.config.port[0].remoteHost[REMOTE_HOST_MAX] =
            e.config.port[1].remoteHost[REMOTE_HOST_MAX] = '\0';
    }
    if (!ImportConfigJson(ExportConfigJson(settings, table), base, {}, settings2, again).ok) {
        return 0;
    }
    for (const LinkEntry& e : table.entry) {
        const LinkEntry& back = again.entry[e.linkId];
        const bool fits = e.config.port[0].genLength <= GEN_DATA_SIZE &&
                          e.config.port[1].genLength <= GEN_DATA_SIZE;
        REQUIRE(back.inUse == e.inUse);
        REQUIRE(e.inUse == 0 || !fits || std::memcmp(&e, &back, sizeof e) == 0);
    }
    return 0;
}
