#include "vesk/daemon/journal.h"

// The source file and line of veskd's build mean nothing to whoever reads the journal.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include "vesk/daemon/event_line.h"
#include "vesk/host/lldp_cache.h"
#include "vesk/host/zet.h"
#include "vesk/model/history.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

// One per kind of event, never to change: a fleet's log store finds every cut by its id.
constexpr const char *VESK_JOURNAL_IDS[] = {
    "fce208a576ee405d939609c7f8f6952b", // detected (only logged)
    "d2ecc3a0eaea4d4daf5fb35685bff603", // cut (shut down)
    "00cb018bc4cc46a9a6ae9bb4484fdb91", // not cut
    "3dfb62d3adda4580bdd7aa14716487e6", // released
    "abd43d0e778742a595caa48f73ea6a7a", // blocked
    "057e1bddffed4276938da2826d082995", // unblocked
    "88423891146f4a1fb016e0ce9ddad7fb", // kept as uplink
};

// A line that names only the port takes the loop's VLAN and partner from the newest loop event
// of that port in the history.
void vesk_journal_loop_of(vesk_event_line *ev) {
    if (ev->partner[0] != '\0' && ev->vlan != 0)
        return;
    for (unsigned i = vesk_history_count(); i-- > 0;) {
        const vesk_event *e = vesk_history_at(i);
        if (e->kind != VESK_EVENT_LOOP)
            continue;
        const bool tx = std::strcmp(e->port, ev->port) == 0;
        if (!tx && std::strcmp(e->rx_port, ev->port) != 0)
            continue;
        if (ev->partner[0] == '\0' && std::strcmp(e->port, e->rx_port) != 0)
            std::snprintf(ev->partner, sizeof ev->partner, "%s", tx ? e->rx_port : e->port);
        if (ev->vlan == 0)
            ev->vlan = e->vid;
        return;
    }
}

bool vesk_journal_write(void *, int priority, const char *line) {
    vesk_event_line ev{};
    if (!vesk_event_line_parse(line, &ev))
        return false;
    vesk_journal_loop_of(&ev);
    std::vector<std::string> fields = {
        std::string("MESSAGE=") + line,
        "PRIORITY=" + std::to_string(priority & 7),
        std::string("MESSAGE_ID=") + VESK_JOURNAL_IDS[ev.kind],
        "SYSLOG_IDENTIFIER=veskd",
        std::string("VESK_EVENT=") + vesk_event_line_kind_name(ev.kind),
        std::string("VESK_PORT=") + ev.port,
        std::string("VESK_ACTION=") + ev.action,
    };
    if (ev.partner[0] != '\0')
        fields.push_back(std::string("VESK_PARTNER_PORT=") + ev.partner);
    if (ev.vlan != 0)
        fields.push_back("VESK_VLAN=" + std::to_string(ev.vlan));
    vesk_lldp_neighbour nb{};
    if (vesk_lldp_cache_get(ev.port, &nb))
        fields.push_back(std::string("VESK_NEIGHBOUR=") + nb.system + " port " + nb.port);
    std::vector<struct iovec> iov;
    for (std::string &f : fields)
        iov.push_back({f.data(), f.size()});
    return sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) >= 0;
}

} // namespace

void vesk_journal_start(struct lib_globals *zg) {
    if (access(VESK_JOURNAL_SOCKET, F_OK) == 0)
        zlog_set_syslog_writer(zg->log, vesk_journal_write, nullptr);
}
