#include <malloc.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>
#include <zelt/Value.hpp>

#include "Corvane.hpp"

namespace {

// The first SIGINT or SIGTERM lets the loop finish its request and close every file; a
// second one ends the process at once.
extern "C" void on_stop_signal(int signal) {
    if (brennic::Corvane::request_stop()) std::_Exit(128 + signal);
}

spdlog::level::level_enum level_of(const std::string& name) {
    static const std::pair<const char*, spdlog::level::level_enum> levels[] = {
        {"DEBUG", spdlog::level::debug},       {"INFO", spdlog::level::info},
        {"WARNING", spdlog::level::warn},      {"ERROR", spdlog::level::err},
        {"CRITICAL", spdlog::level::critical},
    };
    for (const auto& [text, level] : levels) {
        if (name == text) return level;
    }
    return spdlog::level::warn;
}

// The level as the command line names it ("WARNING"), not spdlog's "warning".
class LevelName : public spdlog::custom_flag_formatter {
  public:
    void format(const spdlog::details::log_msg& message, const std::tm&,
                spdlog::memory_buf_t& out) override {
        static const std::string_view names[] = {"TRACE", "DEBUG",    "INFO", "WARNING",
                                                 "ERROR", "CRITICAL", "OFF"};
        const std::string_view name = names[static_cast<int>(message.level)];
        out.append(name.data(), name.data() + name.size());
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<LevelName>();
    }
};

// The message, one line whatever it quotes: a client's path or text cannot forge a line.
class PrintableMessage : public spdlog::custom_flag_formatter {
  public:
    void format(const spdlog::details::log_msg& message, const std::tm&,
                spdlog::memory_buf_t& out) override {
        const std::string text = zelt::printable(
            std::string_view(message.payload.data(), message.payload.size()), 16384);
        out.append(text.data(), text.data() + text.size());
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<PrintableMessage>();
    }
};

std::unique_ptr<spdlog::formatter> log_format() {
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<LevelName>('*').add_flag<PrintableMessage>('Q').set_pattern(
        "%Y-%m-%d %H:%M:%S,%e %* %n: %Q");
    return formatter;
}

void set_up_logging(const std::string& log_level) {
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    sink->set_formatter(log_format());
    auto root = std::make_shared<spdlog::logger>("brennic", sink);
    root->set_level(level_of(log_level));
    spdlog::set_default_logger(root);
    // librdkafka's messages: never its debug chatter, always its warnings and errors.
    auto kafka = std::make_shared<spdlog::logger>("kafka", sink);
    kafka->set_level(spdlog::level::warn);
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
    app.set_version_flag("--version", std::string("brennic ") + BRENNIC_VERSION);
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
    // Every open file takes a descriptor: take all the system allows this process, so that the
    // limit that holds is max_open_files, with its reserve for sockets.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::string stopped;
    try {
        Corvane corvane;
        std::signal(SIGINT, on_stop_signal);
        std::signal(SIGTERM, on_stop_signal);
        std::signal(SIGHUP, [](int) { brennic::Corvane::request_reload(); });
        corvane.start();
        stopped = corvane.stopped_line();
        if (corvane.holds_unwritable_files()) {
            // HDF5 would close those files at exit and walk their broken caches: what could be
            // written is written and reported, so leave without its exit handlers.
            spdlog::info("{}", stopped);
            spdlog::shutdown();
            std::fflush(nullptr);
            std::_Exit(0);
        }
    } catch (const std::exception& error) {
        spdlog::critical("{}", error.what());
        return 1;
    }
    // Last: the notification thread and the Kafka client have ended.
    spdlog::info("{}", stopped);
    return 0;
}

}  // namespace brennic

int main(int argc, char** argv) {
    return brennic::main(std::vector<std::string>(argv + 1, argv + argc));
}
