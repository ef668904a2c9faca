// The library's version and the names of its statuses.
#include "som/som.h"

extern "C" {

const char *som_version(void) { return SOM_VERSION_STRING; }

const char *som_status_string(int status) {
    switch (status) {
    case SOM_OK: return "success";
    case SOM_ERROR_SYSTEM: return "system call failed";
    case SOM_ERROR_MEMORY: return "out of memory";
    case SOM_ERROR_CANCELLED: return "cancelled";
    case SOM_ERROR_FORMAT: return "not a map file, or a damaged one";
    case SOM_ERROR_TOO_LARGE: return "too large for this machine or file";
    case SOM_ERROR_INVALID: return "invalid argument or network";
    default: return "unknown status";
    }
}

}  // extern "C"
