#include <scrivell/fail_points.hpp>

#ifdef BRENNIC_FAIL_POINTS
#include <spdlog/spdlog.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>
#endif

namespace scrivell {

#ifdef BRENNIC_FAIL_POINTS
namespace {

constexpr std::array<const char*, 7> names = {"rename",           "pwrite",   "fsync",
                                              "H5Dwrite_chunk",   "H5Fflush", "journal_write",
                                              "close_at_shutdown"};
constexpr std::array<const char*, 3> delay_names = {"delivery", "compression", "metrics"};

struct Plan {
    std::uint64_t first = 0;  // 0: never
    bool onwards = false;
};

struct Plans {
    std::array<Plan, names.size()> fail{};
    std::array<std::chrono::milliseconds, delay_names.size()> delay{};
    std::string in_force;
};

template <std::size_t N>
std::size_t index_of(const std::array<const char*, N>& known, const std::string& name) {
    for (std::size_t i = 0; i < N; ++i) {
        if (name == known[i]) return i;
    }
    return N;
}

// The plans the environment gives, read once.
const Plans& plans() {
    static const Plans read = [] {
        Plans out;
        const char* given = std::getenv("BRENNIC_FAIL_POINTS");
        const std::string text = given ? given : "";
        for (std::size_t start = 0; start < text.size();) {
            std::size_t comma = text.find(',', start);
            if (comma == std::string::npos) comma = text.size();
            const std::string item = text.substr(start, comma - start);
            start = comma + 1;
            const std::size_t at = item.find_first_of("@~");
            const std::string name = item.substr(0, at);
            const unsigned long long number =
                at == std::string::npos ? 0 : std::strtoull(item.c_str() + at + 1, nullptr, 10);
            bool known = false;
            if (at != std::string::npos && item[at] == '@') {
                if (const std::size_t i = index_of(names, name); i < names.size() && number > 0) {
                    out.fail[i] = {number, item.back() == '+'};
                    known = true;
                }
            } else if (at != std::string::npos) {
                if (const std::size_t i = index_of(delay_names, name); i < delay_names.size()) {
                    out.delay[i] = std::chrono::milliseconds(number);
                    known = number > 0;
                }
            }
            if (!known) {
                spdlog::warn("BRENNIC_FAIL_POINTS: \"{}\" names no fail or delay point", item);
                continue;
            }
            out.in_force += (out.in_force.empty() ? "" : ", ") + item;
        }
        return out;
    }();
    return read;
}

std::array<std::atomic<std::uint64_t>, names.size()> passes{};

}  // namespace

bool fails_now(FailPoint point) noexcept {
    const auto index = static_cast<std::size_t>(point);
    const Plan& plan = plans().fail[index];
    if (plan.first == 0) return false;
    const std::uint64_t pass = ++passes[index];
    if (pass != plan.first && !(plan.onwards && pass > plan.first)) return false;
    spdlog::warn("fail point {}: pass {} fails", names[index], pass);
    errno = EIO;
    return true;
}

void delay_at(DelayPoint point) noexcept {
    const std::chrono::milliseconds wait = plans().delay[static_cast<std::size_t>(point)];
    if (wait.count() > 0) std::this_thread::sleep_for(wait);
}

std::string fail_points_in_force() { return plans().in_force; }
#else
bool fails_now(FailPoint) noexcept { return false; }
void delay_at(DelayPoint) noexcept {}
std::string fail_points_in_force() { return ""; }
#endif

}  // namespace scrivell
