#include "support/model_fixture.h"

#include <cstring>

#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace vesk_test {

namespace {

constexpr int kModelTypes[] = {MTYPE_VESK_MASTER, MTYPE_VESK_BRIDGE, MTYPE_VESK_VLAN,
                               MTYPE_VESK_PORT,   MTYPE_VESK_RLIST,  MTYPE_VESK_PROVLAN};

std::vector<uint16_t> vlan_ids(vesk_bridge *bridge) {
    std::vector<uint16_t> ids;
    if (bridge->vlan_table == nullptr)
        return ids;
    for (route_node *rn = route_top(bridge->vlan_table); rn != nullptr; rn = route_next(rn)) {
        if (rn->info != nullptr)
            ids.push_back(static_cast<vesk_vlan *>(rn->info)->vid);
    }
    return ids;
}

void remove_ports(vesk_bridge *bridge) {
    while (listhead(bridge->port_list) != nullptr) {
        auto *port = static_cast<vesk_port *>(listgetdata(listhead(bridge->port_list)));
        vesk_remove_port_from_bridge(port->ifp, bridge->name);
        if (listhead(bridge->port_list) != nullptr &&
            listgetdata(listhead(bridge->port_list)) == port) {
            ADD_FAILURE() << "port " << port->name << " cannot be removed";
            return;
        }
    }
}

// Port removal finds the bridge through the master, so the bridge is unlinked last.
void free_bridge(vesk_master *master, vesk_bridge *bridge) {
    remove_ports(bridge);
    for (uint16_t vid : vlan_ids(bridge))
        vesk_bridge_del_vlan(bridge, vid);
    listnode_delete(master->bridge_list, bridge);
    list_free(bridge->port_list);
    route_table_finish(bridge->vlan_table);
    pal_mem_free(MTYPE_VESK_BRIDGE, bridge);
}

} // namespace

PortStateRequest port_state_request(uint16_t flags, uint32_t ifindex) {
    return PortStateRequest{NSM_MSG_VESK_PORT_STATE, flags, 0, ifindex};
}

void PrintTo(const PortStateRequest &r, std::ostream *os) {
    *os << "{type " << r.type << ", flags 0x" << std::hex << r.flags << std::dec << ", reserved "
        << r.reserved << ", ifindex " << r.ifindex << "}";
}

void ModelFixture::SetUp() {
    vesk_machine_hook_install();
    vesk_global_debug = {};
    zet_clock_use_virtual(kStartSec);
    veskm = lib_start();
    ASSERT_NE(veskm, nullptr);
    veskm->protocol = VESK_PROTOCOL;
    veskm->master = thread_master_create();
    ASSERT_NE(veskm->master, nullptr);
    ASSERT_NE(openzlog(veskm, 0, VESK_PROTOCOL, ZLOG_DEST_SYSLOG), nullptr);
    log_ = std::make_unique<LogCapture>(veskm);
    if (veskm->nc == nullptr) {
        ASSERT_NE(nsm_client_create(veskm, 0), nullptr);
    }
    ASSERT_EQ(vesk_master_init(ovx_vr_get_privileged(veskm)), 0);
    master_ = vesk_get_master(veskm);
    ASSERT_NE(master_, nullptr);
    bridge_ = vesk_add_bridge(master_->bridge_list, VESK_BRIDGE_NAME);
    ASSERT_NE(bridge_, nullptr);
}

void ModelFixture::free_model() {
    if (master_ == nullptr)
        return;
    while (listhead(master_->bridge_list) != nullptr) {
        auto *bridge = static_cast<vesk_bridge *>(listgetdata(listhead(master_->bridge_list)));
        free_bridge(master_, bridge);
    }
    list_free(master_->bridge_list);
    if (master_->vr != nullptr)
        master_->vr->proto = nullptr;
    pal_mem_free(MTYPE_VESK_MASTER, master_);
    master_ = nullptr;
    bridge_ = nullptr;
}

void ModelFixture::TearDown() {
    for (int type : kModelTypes)
        memory_fail_next(type, 0);
    vesk_global_debug = {};
    free_model();
    log_.reset();
    lib_stop(veskm);
    veskm = nullptr;
    zet_clock_use_monotonic();
    if (!check_model_leaks_)
        return;
    for (int type : kModelTypes)
        EXPECT_EQ(memory_live(type), 0) << "live records of allocation type " << type;
}

size_t ModelFixture::log_count_exact(const std::string &line) const {
    size_t n = 0;
    for (const std::string &l : log_->lines())
        n += l == line ? 1 : 0;
    return n;
}

interface *ModelFixture::make_interface(const char *name, uint32_t ifindex, bool running) {
    interface *ifp = if_create(veskm, name, ifindex);
    EXPECT_NE(ifp, nullptr) << "interface " << name;
    if (ifp == nullptr)
        return nullptr;
    ifp->flags = running ? kUpRunning : 0;
    const uint8_t mac[INTERFACE_HWADDR_MAX] = {0x02, 0, 0, 0, 0, static_cast<uint8_t>(ifindex)};
    std::memcpy(ifp->hw_addr, mac, sizeof mac);
    ifp->hw_addr_len = INTERFACE_HWADDR_MAX;
    return ifp;
}

vesk_port *ModelFixture::make_port(const char *name, uint32_t ifindex,
                                   std::initializer_list<uint16_t> vlans, bool running) {
    interface *ifp = make_interface(name, ifindex, running);
    if (ifp == nullptr)
        return nullptr;
    vesk_port *port = vesk_bridge_add_port(bridge_, ifp);
    EXPECT_NE(port, nullptr) << "port " << name;
    if (port == nullptr)
        return nullptr;
    for (uint16_t vid : vlans)
        join(port, vid);
    return port;
}

vesk_vlan *ModelFixture::vlan(uint16_t vid) {
    vesk_vlan *v = vesk_bridge_add_vlan(bridge_, vid);
    EXPECT_NE(v, nullptr) << "vlan " << vid;
    return v;
}

void ModelFixture::join(vesk_port *port, uint16_t vid) {
    vesk_vlan *v = vlan(vid);
    if (v != nullptr) {
        EXPECT_EQ(vesk_bridge_vlan_add_port(v, port), port);
    }
}

void ModelFixture::leave(vesk_port *port, uint16_t vid) {
    vesk_bridge_vlan_del_port(vesk_find_vlan_from_bridge(vid, bridge_), port);
}

void ModelFixture::set_running(vesk_port *port, bool running) {
    const uint32_t flags = running ? kUpRunning : 0;
    port->flags = flags;
    if (port->ifp != nullptr)
        port->ifp->flags = flags;
}

void ModelFixture::advance(long seconds) {
    thread_advance(veskm, seconds);
}

long ModelFixture::elapsed() const {
    return static_cast<long>(zet_clock_now_usec() / 1000000) - kStartSec;
}

std::vector<PortStateRequest> ModelFixture::requests() const {
    std::vector<PortStateRequest> out;
    const size_t n = nsm_client_sent_count(veskm->nc);
    for (size_t i = 0; i < n; i++) {
        int type = 0;
        uint8_t buf[16] = {};
        size_t len = 0;
        if (nsm_client_sent_get(veskm->nc, i, &type, buf, sizeof buf, &len) != 0 || len != 8) {
            ADD_FAILURE() << "message " << i << " of " << len << " bytes";
            continue;
        }
        PortStateRequest r = {};
        r.type = type;
        std::memcpy(&r.flags, buf, 2);
        std::memcpy(&r.reserved, buf + 2, 2);
        std::memcpy(&r.ifindex, buf + 4, 4);
        out.push_back(r);
    }
    return out;
}

void ModelFixture::clear_requests() {
    nsm_client_sent_clear(veskm->nc);
}

void ModelFixture::set_debug(uint32_t event, uint32_t nsm, uint32_t packet) {
    vesk_global_debug.conf_event = vesk_global_debug.term_event = event;
    vesk_global_debug.conf_nsm = vesk_global_debug.term_nsm = nsm;
    vesk_global_debug.conf_packet = vesk_global_debug.term_packet = packet;
}

} // namespace vesk_test
