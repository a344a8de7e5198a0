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

// A "#" or ";" after a blank starts a comment that runs to the end of the line: "64   # queued"
// is 64. One inside a value ("a#b") is part of it.
std::string strip_inline_comment(const std::string& value) {
    for (std::size_t i = 1; i < value.size(); ++i) {
        if ((value[i] == '#' || value[i] == ';') && (value[i - 1] == ' ' || value[i - 1] == '\t')) {
            return value.substr(0, i);
        }
    }
    if (!value.empty() && (value[0] == '#' || value[0] == ';')) return "";
    return value;
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

void storageParser::parse(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const std::string content = trim(line);
        if (content.empty() || content[0] == '#' || content[0] == ';') continue;
        if (content.front() == '[') {
            if (content.back() != ']') {
                throw Error("configuration \"" + source_ + "\" line " + std::to_string(number) +
                            ": unterminated section header");
            }
            sections_.push_back({trim(content.substr(1, content.size() - 2)), {}});
            continue;
        }
        const auto equals = content.find_first_of("=:");
        if (equals == std::string::npos || sections_.empty()) {
            throw Error("configuration \"" + source_ + "\" line " + std::to_string(number) +
                        ": expected key = value inside a section");
        }
        auto& entries = sections_.back().entries;
        std::string key = lower(trim(content.substr(0, equals)));
        std::string value = trim(strip_inline_comment(content.substr(equals + 1)));
        auto there = std::find_if(entries.begin(), entries.end(),
                                  [&](const auto& entry) { return entry.first == key; });
        if (there != entries.end()) {
            there->second = std::move(value);
        } else {
            entries.emplace_back(std::move(key), std::move(value));
        }
    }
}

const std::string* storageParser::lookup(const std::string& section, const std::string& key) const {
    for (const auto& candidate : sections_) {
        if (candidate.name != section) continue;
        for (const auto& [name, value] : candidate.entries) {
            if (name == lower(key)) return &value;
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

std::string storageParser::get_or(const std::string& section, const std::string& key,
                                  const std::string& fallback) const {
    const std::string* value = lookup(section, key);
    return value ? *value : fallback;
}

long long storageParser::number_or(const std::string& section, const std::string& key,
                                   long long fallback) const {
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

bool storageParser::has(const std::string& section, const std::string& key) const {
    return lookup(section, key) != nullptr;
}

}  // namespace zelt
