// Keeps C++ exceptions inside the library: every extern "C" function that
// allocates through the standard library runs its body through here.
#ifndef SOM_STATUS_H
#define SOM_STATUS_H

#include <cerrno>
#include <new>
#include <system_error>

#include "som/som.h"

namespace som_internal {

// Runs body() and returns its status; an exception becomes the status it
// stands for instead of crossing into a C caller.
template <typename Body>
int guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return SOM_ERROR_MEMORY;
    } catch (const std::system_error &error) {
        errno = error.code().value();
        return SOM_ERROR_SYSTEM;
    } catch (...) {
        // std::length_error and the like: sizes beyond any allocation.
        return SOM_ERROR_MEMORY;
    }
}

}  // namespace som_internal

#endif
