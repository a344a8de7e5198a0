// libFuzzer target: any bytes as one request to the backend, in a directory of its own. Every
// "filepath" is confined to that directory first: the fuzzer must not write elsewhere. A
// request may fail with scrivell::Error or zelt::Error; nothing else may happen.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <scrivell/Scrivell.hpp>
#include <string>
#include <vector>
#include <zelt/codec.hpp>

namespace {

std::string& directory() {
    static std::string path = [] {
        if (const char* given = std::getenv("BRENNIC_FUZZ_DIR")) return std::string(given);
        std::string pattern = "/tmp/brennic-fuzz-XXXXXX";
        return std::string(::mkdtemp(pattern.data()));
    }();
    return path;
}

// A name made of the path's safe characters, inside the fuzzing directory.
zelt::Value confined(const zelt::Value& filepath) {
    const std::string* text = filepath.as<std::string>();
    if (!text) return filepath;
    std::string name;
    for (char c : *text) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.') name += c;
        if (name.size() == 12) break;
    }
    return directory() + "/f" + name;
}

void confine(zelt::Value& value) {
    if (auto* map = value.as<zelt::Map>()) {
        for (auto& [key, item] : *map) {
            if (key == "filepath") {
                item = confined(item);
            } else {
                confine(item);
            }
        }
    } else if (auto* list = value.as<zelt::List>()) {
        for (auto& item : *list) confine(item);
    }
}

}  // namespace

// The backend's settings an input may choose with a first element {"settings": {...}}:
// "verify_precompressed" (true or false), "compression_threads" (1-4), "memory_limit_mib".
scrivell::Settings settings_of(const zelt::Value* chosen) {
    scrivell::Settings settings;
    settings.limits.max_open_files = 8;
    settings.limits.max_descriptors = 64;
    settings.limits.memory_limit_bytes = 64 << 20;
    settings.compression_threads = 1;
    const auto* map = chosen ? chosen->as<zelt::Map>() : nullptr;
    if (!map) return settings;
    if (const zelt::Value* verify = zelt::find(*map, "verify_precompressed")) {
        settings.verify_precompressed = zelt::is_true(*verify);
    }
    if (const zelt::Value* threads = zelt::find(*map, "compression_threads")) {
        if (const auto* n = threads->as<std::int64_t>()) {
            settings.compression_threads =
                static_cast<unsigned>(std::clamp<std::int64_t>(*n, 1, 4));
        }
    }
    if (const zelt::Value* mib = zelt::find(*map, "memory_limit_mib")) {
        if (const auto* n = mib->as<std::int64_t>()) {
            settings.limits.memory_limit_bytes =
                static_cast<std::uint64_t>(std::clamp<std::int64_t>(*n, 1, 256)) << 20;
        }
    }
    return settings;
}

// One input is one request, or a list of requests carried out in order on a fresh backend,
// which then closes everything: every finding reproduces from its input alone. A list may
// start with the settings to run under.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zelt::Value input;
    try {
        input = zelt::loads(reinterpret_cast<const char*>(data), size);
    } catch (const zelt::Error&) {
        return 0;
    }
    confine(input);
    std::vector<const zelt::Value*> requests;
    const zelt::Value* chosen = nullptr;
    if (const auto* list = input.as<zelt::List>()) {
        for (const auto& item : *list) requests.push_back(&item);
        const auto* first = list->empty() ? nullptr : list->front().as<zelt::Map>();
        if (first) chosen = zelt::find(*first, "settings");
    } else {
        requests.push_back(&input);
    }
    {
        scrivell::Scrivell backend(settings_of(chosen));
        for (const zelt::Value* request : requests) {
            const auto* record = request->as<zelt::Map>();
            if (!record) continue;
            try {
                backend.process(*record);
            } catch (const scrivell::Error&) {
            } catch (const zelt::Error&) {
            }
        }
        try {
            backend.process({{"type", "closeAll"}});
        } catch (const scrivell::Error&) {
        }
    }
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(directory())) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
    return 0;
}
