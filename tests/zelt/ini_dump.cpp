// Prints what the service reads from an INI file, one "section<TAB>key<TAB>value" line per
// entry a section has (its own and those of [DEFAULT]), or "refused" and the error: the
// configparser test compares it with what Python reads.
#include <iostream>
#include <set>
#include <string>
#include <zelt/Value.hpp>
#include <zelt/storageParser.hpp>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    try {
        const zelt::storageParser config{std::string(argv[1])};
        std::set<std::string> sections;
        std::set<std::string> defaults;
        std::set<std::pair<std::string, std::string>> keys;
        for (const std::string& entry : config.unknown_entries({})) {
            const auto close = entry.find("] ");
            const std::string section = entry.substr(1, close - 1);
            const std::string key = entry.substr(close + 2);
            if (section == "DEFAULT") {
                defaults.insert(key);
            } else {
                sections.insert(section);
                keys.insert({section, key});
            }
        }
        for (const std::string& section : sections) {
            for (const std::string& key : defaults) keys.insert({section, key});
        }
        for (const auto& [section, key] : keys) {
            std::cout << section << '\t' << key << '\t'
                      << zelt::printable(config.entry(section, key).value_or("")) << '\n';
        }
    } catch (const zelt::Error& error) {
        std::cout << "refused\n";
        std::cerr << error.what() << '\n';
    }
    return 0;
}
