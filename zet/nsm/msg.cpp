#include "zet/nsm/msg.h"

#include "zet/core/if.h"

#include <algorithm>
#include <cstring>

int nsm_util_interface_state(struct nsm_msg_link *msg, struct if_group *ifg) {
    if (msg == nullptr || ifg == nullptr)
        return -1;
    struct interface *ifp = ifg_lookup_by_index(ifg, msg->ifindex);
    if (ifp == nullptr)
        return -1;
    if (msg->cindex & NSM_LINK_CTYPE_FLAGS)
        ifp->flags = msg->flags;
    if (msg->cindex & NSM_LINK_CTYPE_HW_ADDRESS) {
        size_t len = std::min<size_t>(msg->hw_len, INTERFACE_HWADDR_MAX);
        std::memset(ifp->hw_addr, 0, sizeof ifp->hw_addr);
        std::memcpy(ifp->hw_addr, msg->hw_addr, len);
        ifp->hw_addr_len = static_cast<int>(len);
    }
    return 0;
}
