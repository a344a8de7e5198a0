#pragma once

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <scrivell/Scrivell.hpp>
#include <string>

#include "Journal.hpp"
#include "Outbox.hpp"
#include "split_files.hpp"
#include "support.hpp"

using zelt::List;
using zelt::Map;
using zelt::NdArray;
using zelt::Value;

// Notifications to `servers` (none when empty), one attempt waiting at most `timeout_ms`.
inline scrivell::VeskSettings vesk_to(std::string servers, int timeout_ms) {
    scrivell::VeskSettings vesk;
    vesk.bootstrap_servers = std::move(servers);
    vesk.timeout_ms = timeout_ms;
    return vesk;
}

// What status says of the open file `filepath`: its `part` ("appendable", "split"), or one
// dataset of it; an empty map when there is none.
inline Map of_file(const scrivell::Scrivell& scrivell, const std::string& filepath,
                   const char* part, const std::string& dataset = "") {
    const Map status = scrivell.status();
    const Value* file = zelt::find(*zelt::find(status, "files")->as<Map>(), filepath);
    const Value* held = file ? zelt::find(*file->as<Map>(), part) : nullptr;
    if (!held) return {};
    if (dataset.empty()) return *held->as<Map>();
    const Value* one = zelt::find(*held->as<Map>(), dataset);
    return one ? *one->as<Map>() : Map{};
}

// A backend in this process, with a master file open in a fresh directory.
class Backend : public ::testing::Test {
  protected:
    explicit Backend(const std::string& bootstrap = "", int vesk_timeout_ms = 3000)
        : config(dir, support::free_port(), bootstrap, "", vesk_timeout_ms) {
        // The backend's INFO lines would go to standard output, where its fixed lines are
        // checked; the service sends its log to standard error.
        spdlog::set_level(spdlog::level::warn);
    }

    void SetUp() override { open(path()); }

    std::string path(const std::string& name = "m.h5") const { return dir / name; }
    void open(const std::string& filepath) { run({{"type", "open"}, {"filepath", filepath}}); }
    void run(Map record) { scrivell.process(record); }
    void close(const std::string& filepath) { run({{"type", "close"}, {"filepath", filepath}}); }
    // Runs the request and returns what the backend wrote to standard output.
    std::string run_capturing(Map record) {
        ::testing::internal::CaptureStdout();
        try {
            scrivell.process(record);
        } catch (...) {
            ::testing::internal::GetCapturedStdout();
            throw;
        }
        return ::testing::internal::GetCapturedStdout();
    }
    // The error message of a request expected to fail.
    template <class E = scrivell::Error>
    std::string failure(Map record) {
        try {
            scrivell.process(record);
        } catch (const E& error) {
            return error.what();
        }
        ADD_FAILURE() << "request did not fail: " << zelt::to_text(record);
        return {};
    }

    support::TempDir dir;
    support::ZeltConfig config;
    scrivell::Scrivell scrivell;
};

// The messages on `kafka` that name `part`, once `count` of them have arrived or ten seconds
// have passed.
inline std::vector<std::string> notifications_naming(support::MockKafka& kafka,
                                                     const std::string& part, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::string> mine;
    do {
        const auto all =
            kafka.messages(kafka.messages(0, {}).size() + 1, std::chrono::milliseconds(100));
        mine.clear();
        for (const auto& message : all) {
            if (message.find(part) != std::string::npos) mine.push_back(message);
        }
    } while (mine.size() < count && std::chrono::steady_clock::now() < deadline);
    return mine;
}

inline ::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "\"" << text << "\" does not contain \"" << part << "\"";
}
