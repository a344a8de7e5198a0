#include "names.hpp"

#include <algorithm>
#include <cstdio>

namespace scrivell {

namespace {

constexpr std::size_t max_stem_bytes = 64;

bool plain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '+' || c == '_';
}

bool all_digits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string sub_file_name(const std::string& stem, std::int64_t index) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04lld.h5", static_cast<long long>(index));
    return stem + buffer;
}

std::string hidden_name(const std::string& final_name) { return "." + final_name + ".part"; }

std::string sub_file_pattern(const std::string& directory, const std::string& stem) {
    // A stem is plain (is_sub_file_stem), so it holds no "%" a reader would take as a format.
    std::string escaped;
    for (char c : directory) {
        escaped += c;
        if (c == '%') escaped += '%';
    }
    return escaped + '/' + stem + "%04d.h5";
}

std::string link_path(const std::string& name, std::int64_t index) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "/data_%04lld", static_cast<long long>(index));
    return name + buffer;
}

bool named_like_a_sub_file(const std::string& path, const std::string& stem) {
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() < stem.size() + 7 || name.compare(0, stem.size(), stem) != 0 ||
        name.compare(name.size() - 3, 3, ".h5") != 0) {
        return false;
    }
    return all_digits(name.substr(stem.size(), name.size() - 3 - stem.size()));
}

std::string sub_file_stem(const std::string& dataset_name) {
    std::string last = dataset_name;
    while (!last.empty() && last.back() == '/') last.pop_back();
    if (const auto slash = last.rfind('/'); slash != std::string::npos) last.erase(0, slash + 1);
    if (last.size() > max_stem_bytes - 1) last.resize(max_stem_bytes - 1);
    for (char& c : last) {
        if (!plain(c)) c = '_';
    }
    return last + "_";
}

bool is_sub_file_stem(const std::string& stem) {
    return !stem.empty() && stem.size() <= max_stem_bytes && stem.back() == '_' &&
           std::all_of(stem.begin(), stem.end(), plain);
}

bool collides_with_split(const std::string& path, const std::string& split, bool vds) {
    if (path == split || split.rfind(path + "/", 0) == 0) return true;
    const std::string stack = split + "/data";
    if (vds && (path == stack || path.rfind(stack + "/", 0) == 0)) return true;
    const std::string links = split + "/data_";
    if (path.rfind(links, 0) != 0) return false;
    const auto end = std::min(path.find('/', links.size()), path.size());
    const std::string digits = path.substr(links.size(), end - links.size());
    return !digits.empty() && all_digits(digits);
}

}  // namespace scrivell
