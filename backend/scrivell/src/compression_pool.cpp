#include "compression_pool.hpp"

#include <scrivell/fail_points.hpp>

namespace scrivell {

CompressionPool::CompressionPool(unsigned threads) : threads_(std::max(threads, 1u)) {}

CompressionPool::~CompressionPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        jobs_.clear();  // their futures report a broken promise
    }
    queued_.notify_all();
    for (auto& worker : workers_) worker.join();
}

std::future<std::vector<char>> CompressionPool::submit(const Compression& compression,
                                                       const char* row, std::uint64_t size,
                                                       std::uint64_t element_bytes) {
    std::packaged_task<std::vector<char>()> job([compression, row, size, element_bytes] {
        return compression.compress(row, size, element_bytes);
    });
    std::future<std::vector<char>> chunk = job.get_future();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    // Started at the first row: a service that compresses nothing keeps no idle threads.
    while (workers_.size() < threads_) workers_.emplace_back([this] { run(); });
    queued_.notify_one();
    return chunk;
}

void CompressionPool::run() {
    while (true) {
        std::packaged_task<std::vector<char>()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            queued_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        delay_at(DelayPoint::Compression);
        job();  // an exception goes to the future
    }
}

}  // namespace scrivell
