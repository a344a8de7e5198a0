#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace scrivell {

// A map from text to V that iterates in insertion order; replacing a value keeps its place.
template <class V>
class OrderedMap {
  public:
    using Entry = std::pair<std::string, V>;

    V* find(const std::string& key) {
        auto there = index_.find(key);
        return there == index_.end() ? nullptr : &entries_[there->second].second;
    }
    const V* find(const std::string& key) const {
        auto there = index_.find(key);
        return there == index_.end() ? nullptr : &entries_[there->second].second;
    }
    bool contains(const std::string& key) const { return index_.count(key) != 0; }

    // Puts `value` under `key`, in the key's old place when it had one.
    V& insert_or_assign(const std::string& key, V value) {
        if (V* there = find(key)) {
            *there = std::move(value);
            return *there;
        }
        index_.emplace(key, entries_.size());
        entries_.emplace_back(key, std::move(value));
        return entries_.back().second;
    }

    bool erase(const std::string& key) {
        auto there = index_.find(key);
        if (there == index_.end()) return false;
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(there->second));
        index_.clear();
        for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
        return true;
    }

    std::vector<std::string> keys() const {
        std::vector<std::string> out;
        out.reserve(entries_.size());
        for (const auto& entry : entries_) out.push_back(entry.first);
        return out;
    }

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    auto begin() { return entries_.begin(); }
    auto end() { return entries_.end(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

  private:
    std::vector<Entry> entries_;
    std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace scrivell
