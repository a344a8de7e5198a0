#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <scrivell/Settings.hpp>
#include <zelt/Value.hpp>
#include <zelt/storageParser.hpp>

namespace scrivell {

namespace {

// The path with "..", symbolic links and a relative start resolved, as far as it exists.
std::string resolved_path(const std::string& path) {
    std::error_code ignored;
    const auto resolved =
        std::filesystem::weakly_canonical(std::filesystem::absolute(path), ignored);
    return (resolved.empty() ? std::filesystem::path(path) : resolved).lexically_normal().string();
}

// A true-or-false entry of section [corvane], `fallback` when absent. Throws zelt::Error.
bool flag(const zelt::storageParser& config, const std::string& key, bool fallback = false) {
    const std::string value = config.get_or("corvane", key, fallback ? "true" : "false");
    if (value == "true" || value == "yes" || value == "1" || value == "on") return true;
    if (value == "false" || value == "no" || value == "0" || value == "off") return false;
    throw zelt::Error("configuration \"" + config.source() + "\": " + key +
                      " in section [corvane] is \"" + value + "\", not true or false");
}

}  // namespace

Settings Settings::from(const zelt::storageParser& config) {
    Settings settings{VeskSettings::from(config), {}, {}, {}, false};
    // An open master file holds three descriptors (HDF5's, its directory's, its journal's)
    // and one or two for the block being filled (two when compressed: ours and HDF5's). The
    // default number of files counts four; the descriptors are counted as they are held, up
    // to all but a reserve for the clients' sockets, the brokers and the last block's copy.
    rlimit files{};
    std::size_t descriptors = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        descriptors = files.rlim_cur;
    }
    constexpr std::size_t per_file = 4;
    constexpr std::size_t reserve = 256;
    const long long most_files =
        static_cast<long long>(descriptors > 2 * reserve ? (descriptors - reserve) / per_file
                                                         : descriptors / (2 * per_file));
    long long max_files = config.number_or("corvane", "max_open_files", most_files);
    if (max_files <= 0 || max_files > most_files) {
        if (max_files > most_files) {
            spdlog::warn(
                "max_open_files {} would need more than the {} file descriptors this "
                "process may open; {} files at most",
                max_files, descriptors, most_files);
        }
        max_files = most_files;
    }
    settings.limits.max_open_files = static_cast<std::size_t>(max_files);
    settings.limits.max_descriptors =
        descriptors > 2 * reserve ? descriptors - reserve : descriptors / 2;
    const long long pages = ::sysconf(_SC_PHYS_PAGES);
    const long long page_size = ::sysconf(_SC_PAGESIZE);
    const long long half_mib =
        pages > 0 && page_size > 0 ? pages / 2 * (page_size / 1024) / 1024 : 0;
    const long long mib = config.number_or("corvane", "memory_limit_mib", half_mib);
    settings.limits.memory_limit_bytes = mib > 0 ? static_cast<std::uint64_t>(mib) << 20 : 0;
    settings.journal_dir = config.get_or("corvane", "journal_dir", "");
    settings.journal_sync = flag(config, "journal_sync");
    // On unless switched off: decoding costs a core about 1/10 of what compressing does, and a
    // chunk stored unchecked may overrun readers whose decoder trusts it.
    settings.verify_precompressed = flag(config, "verify_precompressed", true);
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    const long long threads =
        config.number_or("corvane", "compression_threads", std::max(1L, cores - 1));
    settings.compression_threads = static_cast<unsigned>(std::clamp(threads, 1LL, 256LL));
    std::string roots = config.get_or("corvane", "data_roots", "");
    for (std::size_t start = 0; start <= roots.size();) {
        std::size_t comma = roots.find(',', start);
        if (comma == std::string::npos) comma = roots.size();
        std::string root = roots.substr(start, comma - start);
        root.erase(0, root.find_first_not_of(" \t"));
        root.erase(root.find_last_not_of(" \t") + 1);
        if (!root.empty()) settings.data_roots.push_back(resolved_path(root));
        start = comma + 1;
    }
    return settings;
}

}  // namespace scrivell
