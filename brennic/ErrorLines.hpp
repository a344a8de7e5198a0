#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace brennic {

// The ERROR lines of failed requests, at most one a second per file: a client that sends a
// thousand frames to a file that failed to open fills no log. What is held back is counted
// and said in one line. Bounded whatever clients send: a file is kept by the first
// max_key_bytes of its path, and at most max_files of them; one more says what was held back
// for all of them first.
class ErrorLines {
  public:
    void log(const std::string& filepath, const std::string& line);
    // Says what was held back for files quiet for a second (with `all`, for every file), and
    // forgets them; without `all`, it looks at most once a second.
    void flush(bool all = false);

  private:
    static constexpr std::size_t max_files = 256;
    static constexpr std::size_t max_key_bytes = 1024;
    struct Held {
        std::chrono::steady_clock::time_point logged;
        std::size_t more = 0;
    };
    void say_more(const std::string& filepath, std::size_t more);
    std::unordered_map<std::string, Held> by_file_;
    std::chrono::steady_clock::time_point flushed_{};
};

}  // namespace brennic
