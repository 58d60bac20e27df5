#pragma once

// Allocation hooks for tests. While an AllocHooks object lives, u_malloc and
// u_free go through it: it records every call, hands the work on to the hooks
// that were installed before it, and can refuse chosen u_malloc calls (the
// Nth, all of them, or any that would take the bytes it has handed out and
// not yet seen freed past a budget). A refused call returns null without
// reaching the previous hook. The destructor puts the previous hooks back.
//
//     test_support::AllocHooks hooks;
//     hooks.fail_call(2);               // the second u_malloc returns null
//     ... run the code under test ...
//     EXPECT_EQ(hooks.malloc_count(), 2u);
//
// Objects nest when scoped (the innermost sees each call first, then passes
// it outwards). Not for use from several threads at once.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <unordered_map>
#include <vector>

#include "pdx/util/hooks.h"

namespace test_support {

class AllocHooks {
  public:
    struct MallocCall {
        std::size_t bytes; // the size asked for
        void *block;       // what the caller got; null when refused or failed
    };

    AllocHooks() : outer_(active_), previous_malloc_(pdx::u_malloc), previous_free_(pdx::u_free) {
        active_ = this;
        pdx::u_malloc = &hook_malloc;
        pdx::u_free = &hook_free;
    }
    ~AllocHooks() {
        pdx::u_malloc = previous_malloc_;
        pdx::u_free = previous_free_;
        active_ = outer_;
    }
    AllocHooks(const AllocHooks &) = delete;
    AllocHooks &operator=(const AllocHooks &) = delete;

    // Refuses the nth u_malloc call seen by this object (1 = the first);
    // 0 refuses none.
    void fail_call(std::size_t n) { fail_call_ = n; }
    // Refuses every u_malloc call while `on`.
    void fail_all(bool on = true) { fail_all_ = on; }
    // Refuses a u_malloc call that would take live_bytes() above `bytes`.
    void set_budget(std::size_t bytes) { budget_ = bytes; }
    // Fills each block handed out with `byte`, as a reused block may hold
    // anything: a caller that reads what it never cleared is then seen.
    void scribble(std::uint8_t byte) { scribble_ = byte; }

    std::size_t malloc_count() const { return mallocs_.size(); }
    std::size_t free_count() const { return frees_.size(); }
    // u_malloc calls that this object refused.
    std::size_t refused_count() const { return refused_; }
    // Every u_malloc call, in order.
    const std::vector<MallocCall> &mallocs() const { return mallocs_; }
    // Every pointer passed to u_free, in order, null ones included.
    const std::vector<void *> &frees() const { return frees_; }
    // Blocks (and their bytes) handed out through this object, not yet freed.
    std::size_t live_blocks() const { return live_.size(); }
    std::size_t live_bytes() const { return live_bytes_; }
    bool is_live(const void *block) const { return live_.count(const_cast<void *>(block)) != 0; }

  private:
    // Runs `call` with the enclosing object (if any) active, so that a hook
    // reached through previous_malloc_ or previous_free_ records into itself.
    template <typename Call> auto as_outer(Call call) {
        active_ = outer_;
        struct Restore {
            AllocHooks *self;
            ~Restore() { active_ = self; }
        } restore{this};
        return call();
    }

    static void *hook_malloc(std::size_t bytes) {
        AllocHooks &self = *active_;
        const bool refuse = self.fail_all_ || self.mallocs_.size() + 1 == self.fail_call_ ||
                            self.live_bytes_ > self.budget_ ||
                            bytes > self.budget_ - self.live_bytes_;
        void *block =
            refuse ? nullptr : self.as_outer([&] { return self.previous_malloc_(bytes); });
        self.mallocs_.push_back({bytes, block});
        if (refuse) {
            ++self.refused_;
        } else if (block != nullptr) {
            self.live_[block] = bytes;
            self.live_bytes_ += bytes;
            if (self.scribble_) {
                std::memset(block, *self.scribble_, bytes);
            }
        }
        return block;
    }

    static void hook_free(void *block) {
        AllocHooks &self = *active_;
        self.frees_.push_back(block);
        if (auto it = self.live_.find(block); it != self.live_.end()) {
            self.live_bytes_ -= it->second;
            self.live_.erase(it);
        }
        self.as_outer([&] { self.previous_free_(block); });
    }

    inline static AllocHooks *active_ = nullptr;

    AllocHooks *outer_;
    pdx::u_malloc_fn previous_malloc_;
    pdx::u_free_fn previous_free_;
    std::size_t fail_call_ = 0;
    bool fail_all_ = false;
    std::size_t budget_ = std::numeric_limits<std::size_t>::max();
    std::vector<MallocCall> mallocs_;
    std::vector<void *> frees_;
    std::unordered_map<void *, std::size_t> live_;
    std::size_t live_bytes_ = 0;
    std::size_t refused_ = 0;
    std::optional<std::uint8_t> scribble_;
};

} // namespace test_support
