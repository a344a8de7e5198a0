#include "ErrorLines.hpp"

#include <spdlog/spdlog.h>

#include <zelt/Value.hpp>

namespace brennic {

void ErrorLines::log(const std::string& filepath, const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    const std::string key = filepath.substr(0, max_key_bytes);
    if (by_file_.size() >= max_files && by_file_.count(key) == 0) flush(/*all=*/true);
    auto [held, added] = by_file_.try_emplace(key);
    if (!added && now - held->second.logged < std::chrono::seconds(1)) {
        ++held->second.more;
        return;
    }
    say_more(filepath, held->second.more);
    spdlog::error("{}", line);
    held->second = {now, 0};
}

void ErrorLines::flush(bool all) {
    const auto now = std::chrono::steady_clock::now();
    if (!all && now - flushed_ < std::chrono::seconds(1)) return;
    flushed_ = now;
    for (auto it = by_file_.begin(); it != by_file_.end();) {
        if (!all && now - it->second.logged < std::chrono::seconds(1)) {
            ++it;
            continue;
        }
        say_more(it->first, it->second.more);
        it = by_file_.erase(it);
    }
}

void ErrorLines::say_more(const std::string& filepath, std::size_t more) {
    if (more == 0) return;
    const std::string about = filepath.empty()
                                  ? std::string("without a file")
                                  : "for \"" + zelt::printable(filepath, max_key_bytes) + "\"";
    spdlog::error("{} more failed requests {} were not logged (one ERROR a second per file)", more,
                  about);
}

}  // namespace brennic
