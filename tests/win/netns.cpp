// Windows (and wine) have no network namespaces: a NetnsPair is never ready,
// and the tests that broadcast skip with this reason. They run on Linux.
#include "netns.h"

namespace quil::test {

NetnsPair::NetnsPair() {
    why_ = "private network namespaces are a Linux facility; the search's broadcasts are tested on Linux";
}

NetnsPair::~NetnsPair() = default;

bool NetnsPair::inController(const std::function<void()>&) const { return false; }

}  // namespace quil::test
