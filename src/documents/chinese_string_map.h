#pragma once
// A flat, open-addressing hash map from text to a value, for the converter's tables. Keys are
// views: the text they point into must outlive the map (the dictionaries keep their file text).
// The converter makes several lookups per character of input, and a flat table with the hash kept
// beside each key makes a miss cost one or two cache lines instead of a walk through list nodes.

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace qm {

std::uint64_t chineseTextHash(std::string_view s) noexcept;

template <typename V>
class ChineseStringMap {
public:
    void reserve(std::size_t count) {
        std::size_t capacity = 16;
        while (capacity < count * 2) capacity *= 2;
        if (capacity > slots_.size()) rehash(capacity);
    }

    // The value of a key, inserted as V{} when absent.
    V& operator[](std::string_view key) {
        if ((size_ + 1) * 2 > slots_.size()) rehash(slots_.empty() ? 16 : slots_.size() * 2);
        const std::uint64_t h = chineseTextHash(key);
        Slot& s = probe(key, h);
        if (s.hash == 0) {
            s.hash = tagOf(h);
            s.data = key.data();
            s.length = static_cast<std::uint32_t>(key.size());
            s.value = V{};
            ++size_;
        }
        return s.value;
    }

    void insertOrAssign(std::string_view key, V value) { (*this)[key] = std::move(value); }

    const V* find(std::string_view key) const {
        if (size_ == 0) return nullptr;
        const std::uint64_t h = chineseTextHash(key);
        const std::uint32_t tag = tagOf(h);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.hash == 0) return nullptr;
            if (s.hash == tag && s.length == key.size() && std::memcmp(s.data, key.data(), key.size()) == 0)
                return &s.value;
        }
    }

    bool contains(std::string_view key) const { return find(key) != nullptr; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Visits every entry, in no particular order.
    template <typename F>
    void forEach(F f) const {
        for (const Slot& s : slots_) {
            if (s.hash != 0) f(std::string_view(s.data, s.length), s.value);
        }
    }

private:
    struct Slot {
        const char* data = nullptr;
        std::uint32_t length = 0;
        std::uint32_t hash = 0;  // high half of the key's hash, never 0; 0 marks a free slot
        V value{};
    };

    static std::uint32_t tagOf(std::uint64_t h) { return static_cast<std::uint32_t>(h >> 32) | 1u; }

    Slot& probe(std::string_view key, std::uint64_t h) {
        const std::uint32_t tag = tagOf(h);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.hash == 0) return s;
            if (s.hash == tag && s.length == key.size() && std::memcmp(s.data, key.data(), key.size()) == 0)
                return s;
        }
    }

    void rehash(std::size_t capacity) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        for (Slot& s : old) {
            if (s.hash == 0) continue;
            const std::uint64_t h = chineseTextHash(std::string_view(s.data, s.length));
            for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
                if (slots_[i].hash == 0) {
                    slots_[i] = std::move(s);
                    break;
                }
            }
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    std::size_t mask_ = 0;
};

}  // namespace qm
