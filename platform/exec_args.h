// Gathers the argument list of an execl-style call into an argv array.
// Shared by both backends so that they build exactly the same vector.
#pragma once

#include <cstdarg>
#include <vector>

namespace plat_detail {

// Collects arg0 and the variadic arguments up to the terminating null
// pointer; the returned vector ends with that null pointer, ready for execv.
inline std::vector<char*> collect_exec_args(const char* arg0, va_list ap) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(arg0));
    if (arg0 != nullptr) {
        for (;;) {
            char* next = va_arg(ap, char*);
            argv.push_back(next);
            if (next == nullptr) {
                break;
            }
        }
    }
    return argv;
}

}  // namespace plat_detail
