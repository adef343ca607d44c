// rtnetlink messages read into records and folded into the kernel state, and the view of the
// chosen bridge the kernel backend gives the client (tests/zet/data/nsm/kernel.txt).
#include "../zet_test.h"

#include <linux/if_bridge.h>
#include <linux/if_link.h>

namespace {

constexpr uint16_t B = BRIDGE_VLAN_INFO_RANGE_BEGIN, E = BRIDGE_VLAN_INFO_RANGE_END,
                   P = BRIDGE_VLAN_INFO_PVID, U = BRIDGE_VLAN_INFO_UNTAGGED;
constexpr uint16_t FLAGS[] = {P, U, BRIDGE_VLAN_INFO_BRENTRY, B, E};

// A link message, laid out as the kernel lays it out, from "KIND IFINDEX ATTR...": KIND one of
// link, dellink, brlink, brdel (the last two of the bridge family); each ATTR one of name:NAME
// (with \xHH escapes), mac:N (address 02:00:00:00:00:N), kind:KIND[/VLAN_FILTERING], master:N
// or vlans:VID[FLAGS],... (p pvid, u untagged, b the bridge's own entry, r range begin, e range
// end). Up and running.
std::vector<uint8_t> nl(const std::string &text) {
    std::vector<uint8_t> b;
    std::vector<size_t> nests;
    auto put = [&](const void *p, size_t n) {
        b.insert(b.end(), static_cast<const uint8_t *>(p), static_cast<const uint8_t *>(p) + n);
        b.resize(NLMSG_ALIGN(b.size()), 0);
    };
    auto attr = [&](uint16_t type, const void *p, size_t n) {
        const nlattr a{static_cast<uint16_t>(NLA_HDRLEN + n), type};
        put(&a, sizeof a);
        put(p, n);
    };
    auto begin = [&](uint16_t type) {
        nests.push_back(b.size()), attr(type | NLA_F_NESTED, "", 0);
    };
    auto end = [&] {
        const auto len = static_cast<uint16_t>(b.size() - nests.back());
        std::memcpy(b.data() + nests.back(), &len, sizeof len);
        nests.pop_back();
    };
    std::istringstream in(text);
    std::string kind, w;
    int ifindex = 0;
    in >> kind >> ifindex;
    const bool del = kind.find("del") != std::string::npos, db = kind.starts_with("vlan");
    const nlmsghdr h{0, uint16_t((db ? RTM_NEWVLAN : RTM_NEWLINK) + del), 0, 0, 0}; // DEL: NEW + 1
    const br_vlan_msg m{AF_BRIDGE, 0, 0, uint32_t(ifindex)}; // VID[-END][/STATE]...
    const uint8_t family = kind.starts_with("br") ? AF_BRIDGE : AF_UNSPEC;
    const ifinfomsg ifi{family, 0, 0, ifindex, IFF_UP | IFF_RUNNING, 0};
    put(&h, sizeof h);
    db ? put(&m, sizeof m) : put(&ifi, sizeof ifi);
    while (in >> w) {
        const std::string key = w.substr(0, w.find(':')), v = w.substr(w.find(':') + 1);
        unsigned lo, hi, st;
        if (db) {
            const int n = std::sscanf(w.c_str(), "%u-%u/%u", &lo, &hi, &st);
            const bool one = n < 2 && std::sscanf(w.c_str(), "%u/%u", &lo, &st) == 2;
            const bridge_vlan_info i{0, uint16_t(lo)};
            begin(BRIDGE_VLANDB_ENTRY);
            attr(BRIDGE_VLANDB_ENTRY_INFO, &i, sizeof i);
            if (n >= 2)
                attr(BRIDGE_VLANDB_ENTRY_RANGE, &hi, 2);
            if (n == 3 || one)
                attr(BRIDGE_VLANDB_ENTRY_STATE, &st, 1);
            end();
        } else if (key == "name") {
            std::string s = v;
            for (size_t at; (at = s.find("\\x")) != std::string::npos;)
                s.replace(at, 4, 1, static_cast<char>(std::stoi(s.substr(at + 2, 2), nullptr, 16)));
            attr(IFLA_IFNAME, s.c_str(), s.size() + 1);
        } else if (key == "mac") {
            const uint8_t hw[6] = {2, 0, 0, 0, 0, static_cast<uint8_t>(std::stoi(v))};
            attr(IFLA_ADDRESS, hw, 6);
        } else if (key == "master") {
            const uint32_t master = std::stoul(v);
            attr(IFLA_MASTER, &master, sizeof master);
        } else if (key == "kind") {
            const std::string k = v.substr(0, v.find('/'));
            begin(IFLA_LINKINFO);
            attr(IFLA_INFO_KIND, k.c_str(), k.size() + 1);
            if (const uint8_t f = v.back() - '0'; k != v) {
                begin(IFLA_INFO_DATA);
                attr(IFLA_BR_VLAN_FILTERING, &f, 1);
                end();
            }
            end();
        } else {
            EXPECT_EQ(key, "vlans");
            begin(IFLA_AF_SPEC);
            std::istringstream items(v);
            for (std::string e; std::getline(items, e, ',');) {
                bridge_vlan_info i{0, static_cast<uint16_t>(std::stoi(e))};
                for (char c : e) // the flags' letters, in the order of FLAGS
                    if (size_t at = std::string("pubre").find(c); at != std::string::npos)
                        i.flags |= FLAGS[at];
                attr(IFLA_BRIDGE_VLAN_INFO, &i, sizeof i);
            }
            end();
        }
    }
    const auto len = static_cast<uint32_t>(b.size());
    std::memcpy(b.data(), &len, sizeof len);
    return b;
}

nsm_nl_msg parsed(const std::string &text) {
    const std::vector<uint8_t> m = nl(text);
    nsm_nl_msg out;
    EXPECT_EQ(nsm_netlink_parse(reinterpret_cast<const nlmsghdr *>(m.data()), m.size(), &out), 0)
        << text;
    return out;
}

// A learnt address as the kernel announces it: read; the same address made static: skipped.
TEST(NsmNetlink, ForwardingEntriesAreReadAndStaticOnesSkipped) {
    struct {
        nlmsghdr h;
        ndmsg nd;
        nlattr mac_attr;
        uint8_t mac[8];
        nlattr vid_attr;
        uint16_t vid, pad;
    } m{{sizeof m, RTM_NEWNEIGH, 0, 0, 0},
        {AF_BRIDGE, 0, 0, 7, NUD_REACHABLE, 0, 0},
        {NLA_HDRLEN + 6, NDA_LLADDR},
        {2, 0, 0, 0, 0, 9},
        {NLA_HDRLEN + 2, NDA_VLAN},
        10,
        0};
    nsm_nl_fdb out;
    ASSERT_EQ(nsm_netlink_parse_fdb(&m.h, sizeof m, &out), 0);
    EXPECT_EQ(std::tuple(out.type, out.ifindex, out.vid, out.mac[5]),
              std::tuple(RTM_NEWNEIGH, 7u, 10, 9));
    m.nd.ndm_state = NUD_PERMANENT;
    EXPECT_EQ(nsm_netlink_parse_fdb(&m.h, sizeof m, &out), 1);
}

// Two link messages, then a header claiming len bytes with 32 bytes after it (fewer if cut).
std::vector<uint8_t> two_messages_then(uint32_t len, size_t cut = 0) {
    std::vector<uint8_t> buf = nl("link 5 name:p kind:veth master:3"),
                         second = nl("link 6 name:p kind:veth master:3");
    buf.insert(buf.end(), second.begin(), second.end());
    nlmsghdr h{len, RTM_NEWLINK, 0, 0, 0};
    buf.insert(buf.end(), reinterpret_cast<uint8_t *>(&h), reinterpret_cast<uint8_t *>(&h + 1));
    buf.resize(buf.size() + 32 - cut, 0);
    return buf;
}

// Walks a receive buffer as the kernel backend does, stopping at a bound well past any real
// walk so that one that would never end fails here: messages seen and bytes left.
std::pair<int, size_t> walk(const std::vector<uint8_t> &buf) {
    size_t left = buf.size();
    int seen = 0;
    for (auto *nlh = reinterpret_cast<const nlmsghdr *>(buf.data());
         nsm_netlink_msg_ok(nlh, left) && seen < 100; nlh = nsm_netlink_next(nlh, &left))
        seen++;
    return {seen, left};
}

TEST(NsmNetlink, BufferWalkStopsAtALengthOutsideTheBytesLeft) {
    for (uint32_t len : {0u, 15u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFCu, 0xFFFFFFFDu, 0xFFFFFFFEu,
                         0xFFFFFFFFu, 1000u}) {
        std::vector<uint8_t> buf = two_messages_then(len);
        EXPECT_EQ(walk(buf), std::pair(2, sizeof(nlmsghdr) + 32)) << "length " << len;
        nsm_nl_msg out;
        auto *last = reinterpret_cast<const nlmsghdr *>(buf.data() + buf.size() - 48);
        EXPECT_EQ(nsm_netlink_parse(last, 48, &out), -1) << "length " << len;
    }
    EXPECT_EQ(walk(two_messages_then(sizeof(nlmsghdr) + 30, 2)), std::pair(3, size_t{0}))
        << "an unpadded last message is taken whole";
}

// What the protocol is shown of the state (see the data file).
std::string vids(const std::set<uint16_t> &s) {
    std::string out;
    for (auto it = s.begin(); it != s.end();) {
        unsigned lo = *it, hi = lo;
        while (++it != s.end() && *it == hi + 1)
            hi = *it;
        out += (out.empty() ? "" : ",") + std::to_string(lo);
        out += hi > lo ? "-" + std::to_string(hi) : "";
    }
    return out;
}

std::string shown(nsm_kernel_state &state, const nsm_kernel_options &options) {
    nsm_view v = nsm_kernel_state_view(state, options);
    std::string out = "chosen " + std::to_string(state.chosen);
    for (const auto &[i, f] : v.ifs)
        out += " if" + std::to_string(i) + ":" + f.name + ":" + std::to_string(f.bridge_ifindex) +
               ":" + std::to_string(f.hw[5]);
    for (const auto &[name, b] : v.bridges)
        out += " br" + name + (b.type != NSM_BRIDGE_TYPE_VLAN_AWARE ? ":plain:" : ":aware:") +
               vids(b.vlans);
    for (const auto &[i, p] : v.ports)
        out += " port" + std::to_string(i) + ":" + vids(p.vlans) + "/" + vids(p.untagged) +
               (p.stp_vlans.empty() ? "" : "/stp:" + vids(p.stp_vlans));
    for (const auto &[i, l] : state.links)
        EXPECT_EQ(nsm_kernel_state_is_port(state, i), v.ports.contains(i)) << i;
    return out;
}

TEST(NsmNetlink, KernelStateGivesTheViewOfTheChosenBridge) {
    std::unique_ptr<nsm_kernel_state> state;
    std::vector<std::string> base; // the messages before the first view
    bool in_base = true;
    std::function<void(const std::string &)> step = [&](const std::string &line) {
        if (size_t arrow = line.find(" => "); arrow != std::string::npos) { // and what it leaves
            step(line.substr(0, arrow));
            step("view = " + line.substr(arrow + 4));
        } else if (line == "reset" || line == "base") {
            state = std::make_unique<nsm_kernel_state>();
            for (const std::string &m : line == "base" ? base : std::vector<std::string>{})
                nsm_kernel_state_apply(*state, parsed(m));
        } else if (line.starts_with("view")) {
            in_base = false;
            nsm_kernel_options options;
            options.port_mac_bridge = line.find(" own-mac") == std::string::npos;
            if (size_t at = line.find(" bridge="); at != std::string::npos)
                options.bridge = line.substr(at + 8, line.find(' ', at + 1) - at - 8);
            EXPECT_EQ(shown(*state, options), line.substr(line.find(" = ") + 3));
        } else if (line.starts_with("vlan")) { // a VLAN-database message and what it gives
            const size_t eq = line.find(" = ");
            const std::vector<uint8_t> m = nl(line.substr(0, eq));
            nsm_nl_vlandb db;
            const int rc = nsm_netlink_parse_vlandb(reinterpret_cast<const nlmsghdr *>(m.data()),
                                                    m.size(), &db);
            std::string got = rc != 0 ? std::to_string(rc) : "";
            for (const nsm_nl_vlan_state &e : db.entries)
                got += (got.empty() ? "" : ",") + std::to_string(e.vid) + "/" +
                       std::to_string(e.state);
            EXPECT_EQ(got, line.substr(eq + 3)) << line;
            if (rc == 0)
                nsm_kernel_state_apply_vlandb(*state, db);
        } else if (line.starts_with("own ")) { // own IFINDEX VID: a block the backend made
            std::istringstream words(line.substr(4));
            uint32_t i = 0, vid = 0;
            words >> i >> vid;
            state->own_vlan_blocks.insert(i << 16 | vid);
        } else {
            nsm_kernel_state_apply(*state, parsed(line));
            if (in_base)
                base.push_back(line);
        }
    };
    EXPECT_GT(zet_test::for_each_step("nsm/kernel.txt", step), 30);
    EXPECT_EQ(parsed("link 2 name:e").link.is_bridge, 0) << "no kind: not a bridge";
    EXPECT_TRUE(nsm_name_printable("q\"),x\\~"));
    for (const char *name : {"p\xc3\xa9", "p 1", "p\t1"})
        EXPECT_FALSE(nsm_name_printable(name)) << name;
    EXPECT_EQ(nsm_name_escaped("a~\x1b\"\\\xff"), "a~\\x1b\\x22\\x5c\\xff");
}

} // namespace
