#include "zet/nsm_view.h"

#include <net/if.h>

bool nsm_view_flags_up(uint32_t flags) {
    constexpr uint32_t up = IFF_UP | IFF_RUNNING;
    return (flags & up) == up;
}
