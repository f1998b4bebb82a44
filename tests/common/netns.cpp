// Private empty network namespace for tests that call Init without cards.
#include <errno.h>
#include <sched.h>
#include <string.h>

#include <string>

#include "common/lab.h"

namespace testsupport {

// unshare(CLONE_NEWNET) acts on the calling thread only; threads it starts
// afterwards (the module's) inherit the new namespace. Needs CAP_SYS_ADMIN;
// without it the test is skipped rather than run on the machine's adapters.
bool EnterEmptyNetworkNamespace(std::string* whyNot) {
    if (unshare(CLONE_NEWNET) == 0) return true;
    if (whyNot != nullptr) {
        *whyNot = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
    }
    return false;
}

}  // namespace testsupport
