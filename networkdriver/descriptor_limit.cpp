#include "networkdriver/descriptor_limit.h"

#include <cerrno>
#include <limits>
#include <sys/resource.h>

#include "diagnostics/failures.h"

namespace networkdriver {

long RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        kestavo::diagnostics::ReportFailure("reading the descriptor limit", errno);
        return -1;
    }
    if (limit.rlim_cur != limit.rlim_max) {
        const rlim_t soft = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            kestavo::diagnostics::ReportFailure("raising the descriptor limit", errno);
            limit.rlim_cur = soft;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<long>::max()
                                           : static_cast<long>(limit.rlim_cur);
}

} // namespace networkdriver
