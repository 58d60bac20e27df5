#pragma once

// The registry of live temporaries behind each platform's signal policy
// (signals_posix.cpp, signals_windows.cpp): fixed slots that a handler of an
// ending signal or console event reads without locks or allocation, and the
// handshake between that handler and the threads creating temporaries.
// Private to the library: not installed.

#include <atomic>

#ifndef _WIN32
#include <signal.h>
#endif

#include "pdx/output/signals.h"

namespace pdx {

// The registry, for the output path. A temporary is tracked from just after
// it is created until just after its name is gone; the name's storage must
// stay put meanwhile. Output files beyond kTrackedTemporaries at once are
// not tracked.
#ifdef _WIN32
void u_platform_track_temporary(const wchar_t *name);
void u_platform_forget_temporary(const wchar_t *name);
#else
void u_platform_track_temporary(const char *name);
void u_platform_forget_temporary(const char *name);
#endif

// Holds back the ending signals on this thread while it lives, so that none
// finds a temporary created but not yet tracked. A signal handled on another
// thread meanwhile (on Windows the console's control handler always runs on
// a thread of its own) waits for it to end before it removes the
// temporaries; ending() tells whether one already has begun, and then no
// temporary may be created, as it would outlive the removal.
class UEndingSignalsHeld {
  public:
    UEndingSignalsHeld();
    ~UEndingSignalsHeld();
    bool ending() const;
    UEndingSignalsHeld(const UEndingSignalsHeld &) = delete;
    UEndingSignalsHeld &operator=(const UEndingSignalsHeld &) = delete;

#ifndef _WIN32
  private:
    sigset_t before_;
#endif
};

template <typename Char> class UTemporaryRegistry {
  public:
    // A slot points at an output file's own name from just after the file
    // is created until just after the name is gone. A full registry leaves
    // the name untracked.
    void track(const Char *name) {
        for (auto &slot : slots_) {
            const Char *empty = nullptr;
            if (slot.compare_exchange_strong(empty, name)) {
                return;
            }
        }
    }
    void forget(const Char *name) {
        for (auto &slot : slots_) {
            const Char *held = name;
            if (slot.compare_exchange_strong(held, nullptr)) {
                return;
            }
        }
    }

    // Calls remove(name) for every tracked name: async-signal-safe when
    // remove is.
    template <typename Remove> void remove_all(Remove remove) {
        for (auto &slot : slots_) {
            if (const Char *name = slot.load()) {
                remove(name);
            }
        }
    }

    // The handshake for programs that write from several threads. A creator
    // counts itself in (creating_begins) before it creates a temporary and
    // out once it is tracked; the handler says that removal has begun, then
    // waits (calling pause) until no creator is left. Both in one total
    // order (seq_cst), so either the handler waits for the creator's
    // temporary to be tracked, or the creator sees removal_begun() and
    // creates none.
    void creating_begins() { creating_.fetch_add(1); }
    void creating_ends() { creating_.fetch_sub(1); }
    bool removal_begun() const { return removal_begun_.load(); }
    template <typename Pause> void begin_removal(Pause pause) {
        removal_begun_.store(true);
        while (creating_.load() != 0) {
            pause();
        }
    }

  private:
    std::atomic<const Char *> slots_[kTrackedTemporaries] = {};
    std::atomic<int> creating_{0};
    std::atomic<bool> removal_begun_{false};
    static_assert(std::atomic<const Char *>::is_always_lock_free &&
                  std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
};

} // namespace pdx
