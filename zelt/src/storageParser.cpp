#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <sstream>
#include <zelt/Value.hpp>
#include <zelt/storageParser.hpp>

namespace zelt {

namespace {

constexpr const char* system_config = system_config_path;

// The configuration is read as Python reads it: as text, one code point at a time, with
// Python's idea of white space (str.isspace, which counts a no-break space) and of a line end
// (universal newlines: "\n", "\r\n" and a lone "\r").
using Text = std::u32string;

// Whether Python's str.isspace() holds for `c`.
bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20) || c == 0x85 || c == 0xa0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 ||
           c == 0x202f || c == 0x205f || c == 0x3000;
}

Text strip(const Text& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && is_space(text[first])) ++first;
    while (last > first && is_space(text[last - 1])) --last;
    return text.substr(first, last - first);
}

Text rstrip(Text text) {
    while (!text.empty() && is_space(text.back())) text.pop_back();
    return text;
}

// The UTF-8 of `source` decoded. Throws zelt::Error at a byte that is not UTF-8, as Python's
// reader refuses it.
Text decoded(const std::string& bytes, const std::string& source) {
    Text out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const int more = lead < 0x80         ? 0
                         : (lead >> 5) == 6  ? 1
                         : (lead >> 4) == 14 ? 2
                         : (lead >> 3) == 30 ? 3
                                             : -1;
        char32_t c = more == 0   ? lead
                     : more == 1 ? lead & 0x1f
                     : more == 2 ? lead & 0x0f
                                 : lead & 0x07;
        bool valid =
            more >= 0 && i + static_cast<std::size_t>(more) < bytes.size() + (more ? 0 : 1);
        for (int k = 1; valid && k <= more; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
            valid = (next & 0xc0) == 0x80;
            c = c << 6 | (next & 0x3f);
        }
        static constexpr char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (!valid || (more > 0 && c < least[more]) || c > 0x10ffff ||
            (c >= 0xd800 && c <= 0xdfff)) {
            throw Error("configuration \"" + source + "\": byte " + std::to_string(i) +
                        " is not UTF-8");
        }
        out.push_back(c);
        i += static_cast<std::size_t>(more) + 1;
    }
    return out;
}

std::string encoded(const Text& text) {
    std::string out;
    for (const char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xe0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Where the comment of `line` starts, found as configparser finds it with "#" and ";" as
// inline comment prefixes: in rounds, each round looking once more for each prefix past its
// last place, and the first round that finds one at the start of the line or after white
// space ends the search (so in "/x;1 ;2 #3" the comment is "#3"). A line whose content starts
// with either prefix is a comment whole. npos when there is none.
std::size_t comment_start(const Text& line) {
    std::size_t found = Text::npos;
    std::vector<std::pair<char32_t, std::size_t>> prefixes{{U'#', Text::npos}, {U';', Text::npos}};
    while (found == Text::npos && !prefixes.empty()) {
        std::vector<std::pair<char32_t, std::size_t>> next;
        for (const auto& [prefix, last] : prefixes) {
            const std::size_t at = line.find(prefix, last == Text::npos ? 0 : last + 1);
            if (at == Text::npos) continue;
            next.emplace_back(prefix, at);
            if (at == 0 || is_space(line[at - 1])) found = std::min(found, at);
        }
        prefixes = std::move(next);
    }
    const Text content = strip(line);
    if (!content.empty() && (content[0] == U'#' || content[0] == U';')) return 0;
    return found;
}

// The lines of `text` as Python's text files give them: "\n", "\r\n" and "\r" end a line.
std::vector<Text> lines_of(const Text& text) {
    std::vector<Text> out;
    Text line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == U'\r' || text[i] == U'\n') {
            out.push_back(std::move(line));
            line.clear();
            if (text[i] == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n') ++i;
        } else {
            line.push_back(text[i]);
        }
    }
    if (!line.empty()) out.push_back(std::move(line));
    return out;
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
// lines continue a value, [DEFAULT] (which may come more than once) gives every section its
// entries, another section or an entry given twice is refused, keys are lower case, values
// are stripped of white space as Python strips it.
void storageParser::parse(const std::string& bytes) {
    const auto refuse = [&](std::size_t number, const std::string& why) {
        throw Error("configuration \"" + source_ + "\" line " + std::to_string(number) + ": " +
                    why);
    };
    const std::vector<Text> lines = lines_of(decoded(bytes, source_));
    Section* current = nullptr;
    std::vector<Text>* value_lines = nullptr;  // of the entry being read
    std::size_t indent_level = 0;
    std::vector<std::string> seen_sections;
    // Each entry's lines, joined with newlines once the file is read, and where the entry is:
    // its section's place in sections_ (npos: [DEFAULT]) and its own in that section.
    struct Pending {
        std::size_t section;
        std::size_t entry;
        std::vector<Text> lines;
    };
    std::deque<Pending> pending;
    for (std::size_t number = 1; number <= lines.size(); ++number) {
        const Text& line = lines[number - 1];
        const std::size_t comment = comment_start(line);
        const Text content = strip(comment == Text::npos ? line : line.substr(0, comment));
        if (content.empty()) {
            // A blank line belongs to the value it stands in; a comment line does not.
            if (comment == Text::npos && value_lines) value_lines->push_back(Text());
            continue;
        }
        std::size_t indent = 0;
        while (indent < line.size() && is_space(line[indent])) ++indent;
        if (current && value_lines && indent > indent_level) {
            value_lines->push_back(content);
            continue;
        }
        indent_level = indent;
        // "[" then anything, up to the last "]" of the line: configparser's "\[(.+)\]".
        const std::size_t close = content.rfind(U']');
        if (content.front() == U'[' && close != Text::npos && close >= 2) {
            const std::string name = encoded(content.substr(1, close - 1));
            value_lines = nullptr;
            if (name == "DEFAULT") {
                current = &defaults_;
                continue;
            }
            if (std::find(seen_sections.begin(), seen_sections.end(), name) !=
                seen_sections.end()) {
                refuse(number, "section [" + name + "] is given twice");
            }
            seen_sections.push_back(name);
            sections_.push_back({name, {}});
            current = &sections_.back();
            continue;
        }
        if (!current) refuse(number, "an entry before any section header");
        const std::size_t delimiter = content.find_first_of(U"=:");
        if (delimiter == Text::npos) refuse(number, "expected key = value");
        const std::string key = lower(encoded(rstrip(content.substr(0, delimiter))));
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
        pending.push_back({section, entries.size() - 1, {strip(content.substr(delimiter + 1))}});
        value_lines = &pending.back().lines;
    }
    for (Pending& entry : pending) {
        Text joined;
        for (std::size_t j = 0; j < entry.lines.size(); ++j) {
            if (j) joined += U'\n';
            joined += entry.lines[j];
        }
        Section& in = entry.section == std::string::npos ? defaults_ : sections_[entry.section];
        in.entries[entry.entry].second = encoded(rstrip(std::move(joined)));
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
        {"corvane", "metrics"},
        {"corvane", "curve_secret_key_file"},
        {"corvane", "curve_clients_dir"},
        {"client", "curve_server_key"},
        {"client", "curve_secret_key_file"},
        {"vesk", "bootstrap_servers"},
        {"vesk", "timeout_ms"},
        {"vesk", "progress_topic"},
        {"vesk", "progress_frames"},
        {"vesk", "progress_ms"},
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

std::string storageParser::get(const std::string& section, const std::string& key) const {
    refuse_unlisted(section, key);
    if (const std::string* value = lookup(section, key)) return *value;
    const bool has_section = std::any_of(sections_.begin(), sections_.end(),
                                         [&](const Section& s) { return s.name == section; });
    if (!has_section) {
        throw Error("configuration \"" + source_ + "\": no section [" + section + "]");
    }
    throw Error("configuration \"" + source_ + "\": no entry \"" + key + "\" in section [" +
                section + "]");
}

std::optional<std::string> storageParser::entry(const std::string& section,
                                                const std::string& key) const {
    const std::string* value = lookup(section, key);
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

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
