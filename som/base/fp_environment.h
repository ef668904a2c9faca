// The floating-point environment the library computes in. The library runs
// inside other people's processes, whose threads may round upwards or
// towards zero, flush subnormal results to zero (FTZ) or read subnormal
// operands as zero (DAZ: what any library linked with -ffast-math sets up
// for the whole process), or trap on overflow. Each of them changes sums,
// products and comparisons, and so maps and winners. Every public call that
// computes therefore puts the default environment in force (round to
// nearest, no FTZ, no DAZ, every exception masked) for its length, on the
// calling thread and on every thread it starts, and gives the caller's back
// on every way out, sticky exception flags as they were: the flags the
// library's own arithmetic raises never reach the caller. A progress
// callback is the caller's code, so it runs in the caller's environment.
#ifndef SOM_FP_ENVIRONMENT_H
#define SOM_FP_ENVIRONMENT_H

#include <cfenv>
#include <cstddef>

#include "som/base/exact_build.h"
#include "som/som.h"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace som_internal {

// The default environment on this thread for the object's lifetime. Cheap
// enough for every call (on x86-64 a read and two writes of MXCSR and a read
// of the x87 control word: about 10 ns), not for every row.
class DefaultFloatingPoint {
  public:
    DefaultFloatingPoint() noexcept {
        save();
        install();
    }
    ~DefaultFloatingPoint() { restore(); }
    DefaultFloatingPoint(const DefaultFloatingPoint &) = delete;
    DefaultFloatingPoint &operator=(const DefaultFloatingPoint &) = delete;

    // The compiler does not know that arithmetic depends on the
    // environment, and may move a computation on values in registers across
    // the writes that change it. A value passed through here is fixed where
    // it stands: the arguments of a small computation after the object is
    // made, its result before the object goes.
    template <typename T>
    static T settled(T value) {
        __asm__ volatile("" : "+m"(value));
        return value;
    }

    // Runs body() in the environment the caller had, then takes up the
    // default again. What body changes in the environment (a rounding mode,
    // a flag it raised) is the caller's, and is what the call gives back.
    template <typename Body>
    auto as_caller(Body &&body) -> decltype(body()) {
        restore();
        Resume resume{*this};
        return body();
    }

  private:
    struct Resume {
        DefaultFloatingPoint &environment;
        ~Resume() {
            environment.save();
            environment.install();
        }
    };

#if defined(__x86_64__)
    // SSE arithmetic, which is all the library's (FLT_EVAL_METHOD 0: no
    // double passes through the x87 unit): every exception masked, round to
    // nearest, FTZ (bit 15) and DAZ (bit 6) off, no flag raised. Restoring
    // the register restores the caller's SSE flags too.
    static constexpr unsigned kDefaultMxcsr = 0x1f80;
    // The x87 unit, which only a math library might use: every exception
    // masked, 64-bit significands, round to nearest. Its status flags are
    // left alone: nothing of the library raises them, and reading them
    // would double the cost.
    static constexpr unsigned short kDefaultControl = 0x037f;

    unsigned mxcsr_ = kDefaultMxcsr;
    unsigned short control_ = kDefaultControl;

    void save() noexcept {
        mxcsr_ = _mm_getcsr();
        __asm__ volatile("fnstcw %0" : "=m"(control_));
    }
    void install() noexcept {
        _mm_setcsr(kDefaultMxcsr);
        if (control_ != kDefaultControl) {
            const unsigned short control = kDefaultControl;
            __asm__ volatile("fldcw %0" : : "m"(control));
        }
    }
    void restore() noexcept {
        if (control_ != kDefaultControl) __asm__ volatile("fldcw %0" : : "m"(control_));
        _mm_setcsr(mxcsr_);
    }
#else
    // Elsewhere the C library's view of the environment covers the unit
    // (on AArch64, FPCR with its flush-to-zero bit, and FPSR).
    std::fenv_t environment_;

    void save() noexcept { std::fegetenv(&environment_); }
    void install() noexcept { std::fesetenv(FE_DFL_ENV); }
    void restore() noexcept { std::fesetenv(&environment_); }
#endif
};

// A caller's progress callback as the library calls it: in the caller's
// floating-point environment (when the call has put the default one in
// force), and with any C++ exception it throws taken as a request to stop,
// so that nothing thrown unwinds the library's frames and the call ends as
// a cancelled one ends.
struct Observer {
    som_progress callback = nullptr;
    void *context = nullptr;
    DefaultFloatingPoint *environment = nullptr;

    bool present() const { return callback != nullptr; }

    // Reports `done` of `total`; true when the call must stop.
    bool stop(size_t done, size_t total) const noexcept {
        if (callback == nullptr) return false;
        auto ask = [&]() noexcept {
            try {
                return callback(context, done, total) != 0;
            } catch (...) {
                return true;
            }
        };
        return environment != nullptr ? environment->as_caller(ask) : ask();
    }
};

}  // namespace som_internal

#endif
