#include "fail_points.hpp"

#ifdef BRENNIC_FAIL_POINTS
#include <spdlog/spdlog.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#endif

namespace scrivell {

#ifdef BRENNIC_FAIL_POINTS
namespace {

constexpr std::array<const char*, 7> names = {"rename",           "pwrite",   "fsync",
                                              "H5Dwrite_chunk",   "H5Fflush", "journal_write",
                                              "close_at_shutdown"};

struct Plan {
    std::uint64_t first = 0;  // 0: never
    bool onwards = false;
};

// The plans the environment gives, read once.
const std::array<Plan, names.size()>& plans() {
    static const std::array<Plan, names.size()> read = [] {
        std::array<Plan, names.size()> out{};
        const char* given = std::getenv("BRENNIC_FAIL_POINTS");
        const std::string text = given ? given : "";
        for (std::size_t start = 0; start < text.size();) {
            std::size_t comma = text.find(',', start);
            if (comma == std::string::npos) comma = text.size();
            const std::string item = text.substr(start, comma - start);
            start = comma + 1;
            const std::size_t at = item.find('@');
            bool known = false;
            for (std::size_t i = 0; i < names.size() && at != std::string::npos; ++i) {
                if (item.compare(0, at, names[i]) != 0 || at != std::string(names[i]).size()) {
                    continue;
                }
                out[i].first = std::strtoull(item.c_str() + at + 1, nullptr, 10);
                out[i].onwards = item.back() == '+';
                known = out[i].first > 0;
            }
            if (!known) spdlog::warn("BRENNIC_FAIL_POINTS: \"{}\" names no fail point", item);
        }
        return out;
    }();
    return read;
}

std::array<std::atomic<std::uint64_t>, names.size()> passes{};

}  // namespace

bool fails_now(FailPoint point) noexcept {
    const auto index = static_cast<std::size_t>(point);
    const Plan& plan = plans()[index];
    if (plan.first == 0) return false;
    const std::uint64_t pass = ++passes[index];
    if (pass != plan.first && !(plan.onwards && pass > plan.first)) return false;
    spdlog::warn("fail point {}: pass {} fails", names[index], pass);
    errno = EIO;
    return true;
}
#else
bool fails_now(FailPoint) noexcept { return false; }
#endif

}  // namespace scrivell
