#pragma once
// Idle codec-library contexts of one decoder object, shared by the threads that decode through
// it: a decode takes an idle context (or a new one when none is idle) and gives it back when it
// ends, so no two threads ever use the same context and none is made more often than needed.

#include <cstddef>
#include <mutex>
#include <vector>

namespace qm {

template <typename Context, Context* (*create)(), void (*destroy)(Context*)>
class ContextPool {
public:
    // A context taken from the pool; it goes back when the lease ends, on every path. Holds
    // nullptr when the library could not make one.
    class Lease {
    public:
        ~Lease() {
            if (context_ != nullptr) pool_.giveBack(context_);
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        Context* get() const { return context_; }

    private:
        friend class ContextPool;
        Lease(ContextPool& pool, Context* context) : pool_(pool), context_(context) {}

        ContextPool& pool_;
        Context* const context_;
    };

    ContextPool() = default;
    ~ContextPool() {
        for (Context* context : idle_) destroy(context);
    }
    ContextPool(const ContextPool&) = delete;
    ContextPool& operator=(const ContextPool&) = delete;

    Lease take() {
        {
            std::lock_guard guard(lock_);
            if (!idle_.empty()) {
                Context* context = idle_.back();
                idle_.pop_back();
                return Lease(*this, context);
            }
        }
        return Lease(*this, create());
    }

    size_t idleCount() const {
        std::lock_guard guard(lock_);
        return idle_.size();
    }

private:
    void giveBack(Context* context) {
        std::lock_guard guard(lock_);
        idle_.push_back(context);
    }

    mutable std::mutex lock_;
    std::vector<Context*> idle_;
};

}  // namespace qm
