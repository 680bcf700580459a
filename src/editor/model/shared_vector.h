#pragma once
// A vector whose copies share one storage until one of them is written: the keyframe lists of a
// project, so that the editor's undo snapshots and preview copies cost no keyframe data until an
// edit touches a list. Reads through a const object never copy; any write access (non-const
// iterators, operator[], insert, erase, ...) first takes a storage of its own when the current one
// is shared.
//
// The storage can carry a companion: data derived from the contents, such as a search index. Copies
// share it with the contents and write access keeps it (it is replaced only by setCompanion, and a
// new list starts without one), so whoever reads it checks that it still fits the contents.

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace qm {

template <typename T>
class SharedVector {
public:
    using value_type = T;
    using size_type = std::size_t;
    using iterator = typename std::vector<T>::iterator;
    using const_iterator = typename std::vector<T>::const_iterator;
    using reference = T&;
    using const_reference = const T&;

    SharedVector() = default;
    SharedVector(std::vector<T> values)  // NOLINT: a plain vector converts
        : data_(values.empty() ? nullptr : std::make_shared<Storage>(Storage{std::move(values), nullptr})) {}
    SharedVector(std::initializer_list<T> values) : SharedVector(std::vector<T>(values)) {}

    const std::vector<T>& get() const { return data_ ? data_->items : none(); }
    operator const std::vector<T>&() const { return get(); }  // NOLINT: reads as a vector
    // Whether both use one storage (for tests of the sharing).
    bool sharesStorageWith(const SharedVector& other) const { return data_ && data_ == other.data_; }

    // The companion last set on this storage, or null; C is the type it was set with.
    template <typename C>
    const C* companion() const {
        return data_ ? static_cast<const C*>(data_->companion.get()) : nullptr;
    }
    // Replaces the companion without touching the contents (an empty list has nowhere to keep one).
    void setCompanion(std::shared_ptr<const void> c) {
        if (!data_ && !c) return;
        own();  // a storage of our own, shared with no other copy
        data_->companion = std::move(c);
    }

    size_type size() const { return get().size(); }
    bool empty() const { return get().empty(); }
    const T& operator[](size_type i) const { return get()[i]; }
    const T& at(size_type i) const { return get().at(i); }
    const T& front() const { return get().front(); }
    const T& back() const { return get().back(); }
    const_iterator begin() const { return get().begin(); }
    const_iterator end() const { return get().end(); }
    const_iterator cbegin() const { return get().begin(); }
    const_iterator cend() const { return get().end(); }

    T& operator[](size_type i) { return own()[i]; }
    T& at(size_type i) { return own().at(i); }
    T& front() { return own().front(); }
    T& back() { return own().back(); }
    iterator begin() { return own().begin(); }
    iterator end() { return own().end(); }

    void push_back(const T& value) { own().push_back(value); }
    void push_back(T&& value) { own().push_back(std::move(value)); }
    template <typename... A>
    T& emplace_back(A&&... args) {
        return own().emplace_back(std::forward<A>(args)...);
    }
    iterator insert(const_iterator pos, const T& value) {
        const auto offset = pos - get().begin();
        auto& v = own();
        return v.insert(v.begin() + offset, value);
    }
    iterator erase(const_iterator first, const_iterator last) {
        const auto a = first - get().begin(), b = last - get().begin();
        auto& v = own();
        return v.erase(v.begin() + a, v.begin() + b);
    }
    iterator erase(const_iterator pos) { return erase(pos, pos + 1); }
    void clear() { data_.reset(); }
    void reserve(size_type n) { own().reserve(n); }
    void resize(size_type n) { own().resize(n); }

    bool operator==(const SharedVector& other) const { return data_ == other.data_ || get() == other.get(); }

    template <typename Pred>
    friend size_type erase_if(SharedVector& v, Pred pred) {
        if (std::none_of(v.begin_const(), v.end_const(), pred)) return 0;
        return std::erase_if(v.own(), pred);
    }

private:
    const_iterator begin_const() const { return get().begin(); }
    const_iterator end_const() const { return get().end(); }
    struct Storage {
        std::vector<T> items;
        std::shared_ptr<const void> companion;
    };

    std::vector<T>& own() {
        if (!data_)
            data_ = std::make_shared<Storage>();
        else if (data_.use_count() > 1)
            data_ = std::make_shared<Storage>(*data_);
        return data_->items;
    }
    static const std::vector<T>& none() {
        static const std::vector<T> empty;
        return empty;
    }

    std::shared_ptr<Storage> data_;
};

}  // namespace qm
