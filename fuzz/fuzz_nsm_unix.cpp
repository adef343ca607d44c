// Byte streams of a socket-backend NSM peer, through the client to the daemon: a refused frame
// changes nothing, any view read back from its frames is itself, and the model holds.
#include <vector>

#include "fuzz_daemon.h"
#include "zet/nsm/client.h"
#include "zet/nsm/unix.h"
#include "zet/nsm/view.h"

namespace {

// Applying a frame copies the whole view, so describing a view of thousands of VLANs frame by
// frame takes quadratic time; views of more than this many VLANs are left to the other checks.
constexpr size_t kDescribeLimit = 512;

void check_describes_itself(nsm_view view) {
    size_t vlans = 0;
    for (const auto &entry : view.bridges)
        vlans += entry.second.vlans.size();
    for (const auto &entry : view.ports)
        vlans += entry.second.vlans.size();
    if (vlans > kDescribeLimit)
        return;
    nsm_view rebuilt;
    for (std::vector<uint8_t> buf : nsm_unix_view_frames(view)) {
        nsm_unix_frame frame;
        std::string why;
        if (nsm_unix_take_frame(buf, &frame) != 1 || !buf.empty())
            vesk_fuzz::fail("an encoded frame does not read back as one frame");
        if (frame.type != NSM_UNIX_SYNC_END && nsm_unix_apply_frame(rebuilt, frame, &why) != 0)
            vesk_fuzz::fail("a frame describing a view is refused: %s", why.c_str());
    }
    // Hardware-address bytes past hw_len carry no meaning, so they are left out.
    for (auto &[ifindex, v] : view.ifs)
        std::fill(v.hw.begin() + std::min<size_t>(v.hw_len, v.hw.size()), v.hw.end(), 0);
    if (!(rebuilt == view))
        vesk_fuzz::fail("a view described as frames reads back as another view");
}

void apply(nsm_view &view, const nsm_unix_frame &frame) {
    uint16_t protocol = 0, flags = 0, vid = 0;
    uint64_t services = 0;
    uint32_t ifindex = 0;
    nsm_unix_read_hello(frame, &protocol, &services);
    if (nsm_unix_read_port_state(frame, &flags, &ifindex, &vid) == 0 &&
        nsm_unix_port_state(flags, ifindex, vid) != nsm_unix_encode(frame.type, frame.payload))
        vesk_fuzz::fail("a port-state request does not read back as itself");
    nsm_msg_fdb_move move{};
    if (nsm_unix_read_fdb_move(view, frame, &move, nullptr) == 0) {
        if (move.ifindex_from == move.ifindex_to || !view.ports.contains(move.ifindex_to))
            vesk_fuzz::fail("a move between interfaces that are no two ports was read");
        nsm_client_fdb_move(vesk_fuzz::world.handle()->nc, move);
        vesk_fuzz::world.check_model();
        return;
    }
    nsm_view before = view;
    std::string why;
    if (nsm_unix_apply_frame(view, frame, &why) == 0)
        vesk_fuzz::apply_view(view);
    else if (!(view == before))
        vesk_fuzz::fail("a refused frame changed the view (%s)", why.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vesk_fuzz::start({.bridge = false});
    std::vector<uint8_t> buf(data, data + size);
    nsm_view view;
    nsm_unix_frame frame;
    while (nsm_unix_take_frame(buf, &frame) == 1)
        apply(view, frame);
    check_describes_itself(view);
    vesk_fuzz::check_all_gone_and_stop();
    return 0;
}
