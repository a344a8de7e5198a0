#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <scrivell/Compression.hpp>
#include <thread>
#include <vector>

namespace scrivell {

// Workers that compress rows while the request loop takes the next requests. A row's bytes
// must stay alive, and unchanged, until its future is ready.
class CompressionPool {
  public:
    explicit CompressionPool(unsigned threads);
    ~CompressionPool();  // waits for the rows being compressed; drops those not started
    CompressionPool(const CompressionPool&) = delete;
    CompressionPool& operator=(const CompressionPool&) = delete;

    // The chunk `row` becomes, once a worker has compressed it (or the error it failed with).
    std::future<std::vector<char>> submit(const Compression& compression, const char* row,
                                          std::uint64_t size, std::uint64_t element_bytes);
    unsigned threads() const { return threads_; }

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::packaged_task<std::vector<char>()>> jobs_;
    bool stopping_ = false;
    unsigned threads_;
    std::vector<std::thread> workers_;  // last: started once the queue exists
};

}  // namespace scrivell
