#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <zelt/Value.hpp>
#include <zelt/storageParser.hpp>

namespace zelt {

namespace {

constexpr const char* system_config = "/etc/zelt/zelt.ini";

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Where a comment starts in `line`, as Python's configparser finds it with "#" and ";" as
// inline comment prefixes: at a prefix that opens the line or follows white space, or at the
// start of a line whose first non-blank character is one; npos when there is none.
std::size_t comment_start(const std::string& line) {
    const std::string content = trim(line);
    if (!content.empty() && (content[0] == '#' || content[0] == ';')) return 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if ((line[i] == '#' || line[i] == ';') &&
            (i == 0 || std::isspace(static_cast<unsigned char>(line[i - 1])))) {
            return i;
        }
    }
    return std::string::npos;
}

bool file_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("configuration \"" + path + "\": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

storageParser::storageParser() {
    const char* named = std::getenv("ZELT_CONFIG");
    if (named && *named) {
        source_ = named;
    } else if (file_exists(system_config)) {
        source_ = system_config;
    } else {
        *this = built_in();
        return;
    }
    parse(read_file(source_));
}

storageParser storageParser::built_in() { return storageParser(BuiltIn{}); }

storageParser::storageParser(BuiltIn) : source_("built-in defaults") {
    sections_ = {{"corvane", {{"ip", default_ip}, {"port", default_port}}},
                 {"vesk",
                  {{"bootstrap_servers", default_bootstrap_servers},
                   {"timeout_ms", std::to_string(default_vesk_timeout_ms)}}}};
}

storageParser::storageParser(const std::string& path) : source_(path) { parse(read_file(path)); }

// Read as Python's configparser reads it (ConfigParser with inline comments "#" and ";",
// no interpolation), so that the clients and the service see one configuration: indented
// lines continue a value, [DEFAULT] gives every section its entries, a section or an entry
// given twice is refused, keys are lower case, values are stripped.
void storageParser::parse(const std::string& text) {
    const auto refuse = [&](int number, const std::string& why) {
        throw Error("configuration \"" + source_ + "\" line " + std::to_string(number) + ": " +
                    why);
    };
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    Section* current = nullptr;
    std::vector<std::string>* value_lines = nullptr;  // of the entry being read
    std::size_t indent_level = 0;
    std::vector<std::string> seen_sections;
    // Each entry's lines, joined with newlines once the file is read, and where the entry is:
    // its section's place in sections_ (npos: [DEFAULT]) and its own in that section.
    struct Pending {
        std::size_t section;
        std::size_t entry;
        std::vector<std::string> lines;
    };
    std::vector<Pending> pending;
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t comment = comment_start(line);
        const std::string content =
            trim(comment == std::string::npos ? line : line.substr(0, comment));
        if (content.empty()) {
            // A blank line belongs to the value it stands in; a comment line does not.
            if (comment == std::string::npos && value_lines) value_lines->push_back("");
            continue;
        }
        const std::size_t indent = line.find_first_not_of(" \t");
        if (current && value_lines && indent > indent_level) {
            value_lines->push_back(content);
            continue;
        }
        indent_level = indent;
        if (content.front() == '[' && content.find(']', 1) != std::string::npos &&
            content.find(']', 1) > 1) {
            const std::string name = content.substr(1, content.rfind(']') - 1);
            if (std::find(seen_sections.begin(), seen_sections.end(), name) !=
                seen_sections.end()) {
                refuse(number, "section [" + name + "] is given twice");
            }
            seen_sections.push_back(name);
            if (name == "DEFAULT") {
                current = &defaults_;
            } else {
                sections_.push_back({name, {}});
                current = &sections_.back();
            }
            value_lines = nullptr;
            continue;
        }
        if (!current) refuse(number, "an entry before any section header");
        const auto delimiter = content.find_first_of("=:");
        if (delimiter == std::string::npos) refuse(number, "expected key = value");
        const std::string key = lower(trim(content.substr(0, delimiter)));
        if (key.empty()) refuse(number, "an entry without a key");
        auto& entries = current->entries;
        if (std::any_of(entries.begin(), entries.end(),
                        [&](const auto& entry) { return entry.first == key; })) {
            refuse(number,
                   "entry \"" + key + "\" is given twice in section [" + current->name + "]");
        }
        entries.emplace_back(key, "");
        const std::size_t section = current == &defaults_
                                        ? std::string::npos
                                        : static_cast<std::size_t>(current - sections_.data());
        pending.push_back({section, entries.size() - 1, {trim(content.substr(delimiter + 1))}});
        value_lines = &pending.back().lines;
    }
    for (Pending& entry : pending) {
        std::string joined;
        for (std::size_t j = 0; j < entry.lines.size(); ++j) {
            joined += (j ? "\n" : "") + entry.lines[j];
        }
        while (!joined.empty() && std::isspace(static_cast<unsigned char>(joined.back()))) {
            joined.pop_back();
        }
        Section& in = entry.section == std::string::npos ? defaults_ : sections_[entry.section];
        in.entries[entry.entry].second = std::move(joined);
    }
}

const std::string* storageParser::lookup(const std::string& section, const std::string& key) const {
    const std::string wanted = lower(key);
    for (const auto& candidate : sections_) {
        if (candidate.name != section) continue;
        for (const auto& [name, value] : candidate.entries) {
            if (name == wanted) return &value;
        }
        // A section has the entries of [DEFAULT] that it does not give itself.
        for (const auto& [name, value] : defaults_.entries) {
            if (name == wanted) return &value;
        }
    }
    return nullptr;
}

std::string storageParser::get(const std::string& section, const std::string& key) const {
    if (const std::string* value = lookup(section, key)) return *value;
    const bool has_section = std::any_of(sections_.begin(), sections_.end(),
                                         [&](const Section& s) { return s.name == section; });
    if (!has_section) {
        throw Error("configuration \"" + source_ + "\": no section [" + section + "]");
    }
    throw Error("configuration \"" + source_ + "\": no entry \"" + key + "\" in section [" +
                section + "]");
}

const std::vector<std::pair<std::string, std::string>>& known_entries() {
    static const std::vector<std::pair<std::string, std::string>> entries = {
        {"corvane", "ip"},
        {"corvane", "port"},
        {"corvane", "max_message_bytes"},
        {"corvane", "receive_hwm"},
        {"corvane", "reply_timeout_ms"},
        {"corvane", "linger_ms"},
        {"corvane", "send_hwm"},
        {"corvane", "max_open_files"},
        {"corvane", "local_socket"},
        {"corvane", "local_users"},
        {"corvane", "local_groups"},
        {"corvane", "local_max_slots"},
        {"corvane", "local_ring_mib"},
        {"corvane", "local_slots"},
        {"corvane", "local_max_rings_per_client"},
        {"corvane", "local_ring_mib_total"},
        {"corvane", "local_service_user"},
        {"corvane", "memory_limit_mib"},
        {"corvane", "data_roots"},
        {"corvane", "journal_dir"},
        {"corvane", "journal_sync"},
        {"corvane", "compression_threads"},
        {"corvane", "verify_precompressed"},
        {"vesk", "bootstrap_servers"},
        {"vesk", "timeout_ms"},
    };
    return entries;
}

namespace {

// A reader of an entry the list lacks would make its entry "unknown" at start-up.
void refuse_unlisted(const std::string& section, const std::string& key) {
    const auto& known = known_entries();
    if (std::find(known.begin(), known.end(), std::make_pair(section, key)) != known.end()) return;
    throw Error("configuration: [" + section + "] " + key +
                " is read but missing from the list of known entries");
}

}  // namespace

std::string storageParser::get_or(const std::string& section, const std::string& key,
                                  const std::string& fallback) const {
    refuse_unlisted(section, key);
    const std::string* value = lookup(section, key);
    return value ? *value : fallback;
}

long long storageParser::number_or(const std::string& section, const std::string& key,
                                   long long fallback) const {
    refuse_unlisted(section, key);
    const std::string* value = lookup(section, key);
    if (!value) return fallback;
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(value->c_str(), &end, 10);
    if (value->empty() || *end != '\0' || errno == ERANGE) {
        throw Error("configuration \"" + source_ + "\": entry \"" + key + "\" in section [" +
                    section + "] is not a whole number: \"" + *value + "\"");
    }
    return number;
}

std::vector<std::string> storageParser::unknown_entries(
    const std::vector<std::pair<std::string, std::string>>& known) const {
    std::vector<std::string> out;
    for (const auto& entry : defaults_.entries) {
        const bool listed = std::any_of(known.begin(), known.end(), [&](const auto& one) {
            return lower(one.second) == entry.first;
        });
        if (!listed) out.push_back("[DEFAULT] " + entry.first);
    }
    for (const auto& section : sections_) {
        for (const auto& entry : section.entries) {
            const std::string& key = entry.first;
            const bool listed = std::any_of(known.begin(), known.end(), [&](const auto& one) {
                return one.first == section.name && lower(one.second) == key;
            });
            if (!listed) out.push_back("[" + section.name + "] " + key);
        }
    }
    return out;
}

}  // namespace zelt
