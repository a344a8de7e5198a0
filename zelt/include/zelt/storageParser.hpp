#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zelt {

// The configuration both sides read: an INI file named by ZELT_CONFIG, else
// /etc/zelt/zelt.ini, else the built-in defaults. Read once, at construction, by the rules of
// Python's configparser, which the Python client reads it with. Throws zelt::Error when
// ZELT_CONFIG names a file that cannot be read, a line is malformed, or a section or entry is
// given twice.
class storageParser {
  public:
    storageParser();
    // Reads the INI file at `path` (for tests and tools).
    explicit storageParser(const std::string& path);
    // The built-in defaults alone, as used when no file exists.
    static storageParser built_in();

    // The entry's text as written. Throws zelt::Error naming the source when the section or
    // the entry is missing, and for an entry missing from known_entries().
    std::string get(const std::string& section, const std::string& key) const;
    // Any entry as written, listed or not, or nothing: for tools that show a whole file.
    std::optional<std::string> entry(const std::string& section, const std::string& key) const;
    // The entry's text, or `fallback` when the section or the entry is missing.
    std::string get_or(const std::string& section, const std::string& key,
                       const std::string& fallback) const;
    // An entry read as a whole number; `fallback` when absent. Throws zelt::Error when the
    // entry is not a number.
    long long number_or(const std::string& section, const std::string& key,
                        long long fallback) const;
    // The entries present that `known` (section, key) does not list, as "[section] key"; an
    // entry of [DEFAULT] is known when some section knows its key.
    std::vector<std::string> unknown_entries(
        const std::vector<std::pair<std::string, std::string>>& known) const;
    // The file read, or "built-in defaults".
    const std::string& source() const { return source_; }

  private:
    struct BuiltIn {};
    explicit storageParser(BuiltIn);
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> entries;
    };
    const std::string* lookup(const std::string& section, const std::string& key) const;
    void parse(const std::string& text);

    std::string source_;
    std::vector<Section> sections_;
    Section defaults_{"DEFAULT", {}};  // entries every section has unless it gives its own
};

// Every entry the service and the clients read, (section, key): the one list. An entry a
// file holds that is not listed is named at start-up; an entry read that is not listed is
// a programming error, refused by get_or and number_or.
const std::vector<std::pair<std::string, std::string>>& known_entries();

// Where the configuration is read when ZELT_CONFIG is not set.
inline constexpr const char* system_config_path = "/etc/zelt/zelt.ini";

// Built-in defaults, used when no configuration file exists, and the defaults of entries that
// both the service and its clients read, in one place.
inline constexpr const char* default_ip = "127.0.0.1";
inline constexpr const char* default_port = "5555";
inline constexpr const char* default_bootstrap_servers =
    "kafka-1.vesk.invalid:9092,kafka-2.vesk.invalid:9092,kafka-3.vesk.invalid:9092";
inline constexpr long long default_vesk_timeout_ms = 5000;
// [corvane] max_message_bytes: the largest request the service reads.
inline constexpr long long default_max_message_bytes = 1LL << 30;
// [corvane] local_socket for a service on `port`.
inline std::string default_local_socket(const std::string& port) {
    return "/run/brennic/brennic-" + port + ".sock";
}

}  // namespace zelt
