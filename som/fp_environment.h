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

#include "exact_build.h"
#include "som.h"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace som_internal {

// The default environment on this thread for the object's lifetime. Cheap
// enough for every call (a few register reads and writes on x86-64), not
// for every row.
class DefaultFloatingPoint {
  public:
    DefaultFloatingPoint() noexcept {
        save();
        install();
    }
    ~DefaultFloatingPoint() { restore(); }
    DefaultFloatingPoint(const DefaultFloatingPoint &) = delete;
    DefaultFloatingPoint &operator=(const DefaultFloatingPoint &) = delete;

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
    // SSE arithmetic, which is all the library's: every exception masked,
    // round to nearest, FTZ (bit 15) and DAZ (bit 6) off, no flag raised.
    static constexpr unsigned kDefaultMxcsr = 0x1f80;
    // The x87 unit, which only a math library might touch: every exception
    // masked, 64-bit significands, round to nearest.
    static constexpr unsigned short kDefaultControl = 0x037f;
    static constexpr unsigned short kFlags = 0x3f;

    unsigned mxcsr_ = kDefaultMxcsr;
    unsigned short control_ = kDefaultControl, status_ = 0;

    void save() noexcept {
        mxcsr_ = _mm_getcsr();
        __asm__ volatile("fnstcw %0" : "=m"(control_));
        __asm__ volatile("fnstsw %0" : "=m"(status_));
    }
    void install() noexcept {
        _mm_setcsr(kDefaultMxcsr);
        if (control_ != kDefaultControl) {
            const unsigned short control = kDefaultControl;
            __asm__ volatile("fldcw %0" : : "m"(control));
        }
    }
    void restore() noexcept {
        unsigned short status;
        __asm__ volatile("fnstsw %0" : "=m"(status));
        if ((status ^ status_) & kFlags) {
            // x87 flags raised meanwhile (never by the library's own code):
            // the caller's again, through the saved environment image, whose
            // status word is its third 16-bit word.
            unsigned short image[14];
            __asm__ volatile("fnstenv %0" : "=m"(image));
            image[2] = static_cast<unsigned short>((image[2] & ~0xbf) | (status_ & 0xbf));
            __asm__ volatile("fldenv %0" : : "m"(image));
        }
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
