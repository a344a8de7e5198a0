#include <algorithm>
#include <malloc.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "Corvane.hpp"

namespace {

// The first SIGINT or SIGTERM lets the loop finish its request and close every file; a
// second one ends the process at once.
extern "C" void on_stop_signal(int signal) {
    if (brennic::Corvane::request_stop()) std::_Exit(128 + signal);
}

spdlog::level::level_enum level_of(const std::string& name) {
    static const std::pair<const char*, spdlog::level::level_enum> levels[] = {
        {"DEBUG", spdlog::level::debug}, {"INFO", spdlog::level::info},
        {"WARNING", spdlog::level::warn}, {"ERROR", spdlog::level::err},
        {"CRITICAL", spdlog::level::critical},
    };
    for (const auto& [text, level] : levels) {
        if (name == text) return level;
    }
    return spdlog::level::warn;
}

void set_up_logging(const std::string& log_level) {
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    auto root = std::make_shared<spdlog::logger>("brennic", sink);
    root->set_level(level_of(log_level));
    root->set_pattern("%Y-%m-%d %H:%M:%S,%e %^%l%$ %n: %v");
    spdlog::set_default_logger(root);
    // librdkafka's messages: never its debug chatter, always its warnings and errors.
    auto kafka = std::make_shared<spdlog::logger>("kafka", sink);
    kafka->set_level(spdlog::level::warn);
    kafka->set_pattern("%Y-%m-%d %H:%M:%S,%e %^%l%$ %n: %v");
    spdlog::register_logger(kafka);
}

}  // namespace

namespace brennic {

// Parses the command line, sets up logging and serves until stopped. Returns the exit status.
int main(std::vector<std::string> argv) {
    CLI::App app{"Set logging level", "brennic"};
    std::string log_level = "WARNING";
    app.add_option("--log-level", log_level, "Set logging level")
        ->check(CLI::IsMember({"DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL"}))
        ->capture_default_str();
    std::reverse(argv.begin(), argv.end());  // CLI11 takes the arguments last to first
    try {
        app.parse(argv);
    } catch (const CLI::ParseError& error) {
        // Help ends with 0; a refused command line with the usage status 2.
        return app.exit(error) == 0 ? 0 : 2;
    }
    set_up_logging(log_level);
    // Frames arrive as messages of megabytes. Kept below these bounds, glibc serves them from
    // its heaps and reuses what a written block freed, instead of mapping fresh pages (and
    // faulting every one of them in) for each frame.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    try {
        Corvane corvane;
        std::signal(SIGINT, on_stop_signal);
        std::signal(SIGTERM, on_stop_signal);
        corvane.start();
    } catch (const std::exception& error) {
        spdlog::critical("{}", error.what());
        return 1;
    }
    return 0;
}

}  // namespace brennic

int main(int argc, char** argv) {
    return brennic::main(std::vector<std::string>(argv + 1, argv + argc));
}
