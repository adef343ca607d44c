// The command shell as operators use it: each transcript of tests/vesk/cli/transcripts (format in
// support/transcript.h) runs in a fresh world, the model fixture with the daemon's command table
// and a shell of privilege 15 in exec mode. Its actions are those of act(): "@ACTION" changes
// the world; "test# ACTION" is checked like a command, so that what no command line reaches
// (a handler called in another mode or without its argument, a timer's 256ths of a second) is
// written down the same way.
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <unistd.h>

#include "support/model_fixture.h"
#include "support/transcript.h"
#include "vesk/cli/cli.h"
#include "vesk/cli/debug.h"
#include "vesk/cli/dump.h"
#include "vesk/cli/show.h"
#include "vesk/cli/wmi.h"
#include "vesk/daemon/start.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace {

using vesk_test::TranscriptStep;
const std::string kDir = VESK_SOURCE_DIR "/tests/vesk/cli/transcripts/";

std::vector<vesk_port *> ports_of(vesk_bridge *bridge) {
    std::vector<vesk_port *> ports;
    for (listnode *n = listhead(bridge->port_list); n != nullptr; n = listnextnode(n))
        ports.push_back(static_cast<vesk_port *>(listgetdata(n)));
    return ports;
}

int no_op(thread *) {
    return 0;
}

class Shell : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(vesk_cli_init(veskm), 1);
        vesk_lib_cli_init(veskm);
        cli_ = cli_new(veskm, PRIVILEGE_MAX);
    }

    void TearDown() override {
        if (bridge() != nullptr)
            std::strcpy(bridge()->name, VESK_BRIDGE_NAME);
        term_layer2_debug_proto = 0;
        cli_free(cli_);
        ModelFixture::TearDown();
    }

    std::string step(const TranscriptStep &s, TranscriptStep &a) {
        log().clear();
        const bool action = s.kind == TranscriptStep::ACTION || s.prompt == "test# ";
        a.prompt = action ? s.prompt : cli_prompt(cli_);
        std::string err;
        testing::internal::CaptureStdout();
        if (action)
            err = act(s.text, a.result);
        else if (!s.text.empty() && s.text.back() == '?')
            cli_describe(cli_, s.text.substr(0, s.text.size() - 1).c_str());
        else
            a.result = cli_execute(cli_, s.text.c_str(), false);
        a.out_stdout = name_addresses(testing::internal::GetCapturedStdout());
        a.output = cli_output_take(cli_);
        for (std::string l : log().lines()) {
            for (size_t at; (at = l.find(kDir)) != std::string::npos;)
                l.erase(at, kDir.size());
            a.log.push_back(l);
        }
        return err;
    }

    std::string act(const std::string &text, int &result) {
        std::istringstream in(text);
        std::string verb, name, rest;
        std::vector<std::string> words;
        std::vector<uint32_t> n;
        in >> verb >> name;
        for (std::string w; in >> w; rest += (rest.empty() ? "" : " ") + w, words.push_back(w))
            n.push_back(static_cast<uint32_t>(std::strtoul(w.c_str(), nullptr, 0)));
        interface *ifp = ifg_lookup_by_name(veskm->ifg, name.c_str());
        vesk_port *port = ifp == nullptr ? nullptr : vesk_find_port_from_bridge(ifp, bridge());
        const bool up = rest.find("down") == std::string::npos;
        if (verb == "interface" && make_interface(name.c_str(), n.at(0), up) == nullptr)
            return "no interface";
        if (verb == "port" && (port = make_port(name.c_str(), n.at(0), {}, up)) != nullptr) {
            for (size_t i = 1; i < n.size() && n[i] != 0; i++)
                join(port, static_cast<uint16_t>(n[i]));
        } else if (verb == "vlan") {
            vlan(static_cast<uint16_t>(std::stoi(name)));
        } else if (verb == "advance") { // seconds, with a fraction
            advance(std::stol(name));
            zet_clock_advance_usec(std::lround(std::fmod(std::stod(name), 1) * 1e6));
        } else if (verb == "privilege") {
            cli_free(cli_);
            cli_ = cli_new(veskm, std::stoi(name));
        } else if (verb == "layer2-debug") {
            term_layer2_debug_proto = static_cast<uint32_t>(std::stoul(name));
        } else if (verb == "fail-next-protect-vlan") {
            memory_fail_next(MTYPE_VESK_PROVLAN, 1);
        } else if (verb == "bridge" && name == "name") {
            std::snprintf(bridge()->name, sizeof bridge()->name, "%s", rest.c_str());
        } else if (verb == "bridge" && name == "enable") {
            bridge()->vesk_enable = static_cast<uint8_t>(n.at(0));
        } else if (verb == "config-file") {
            return host_config_read(veskm, (kDir + name).c_str()) >= 0 ? "" : "no file";
        } else if (verb == "round-trip") {
            return round_trip();
        } else if (verb == "call") { // MODE HANDLER ARGS: the handler called as it is
            return call(name, words, result);
        } else if (verb == "debug-init") { // every word set, then cleared
            vesk_global_debug = {1, 2, 3, 4, 5, 6};
            vesk_debug_init(&vesk_global_debug);
        } else if (verb == "debug-words") {
            const vesk_debug_flags &d = vesk_global_debug;
            cli_out(cli_, "conf %x %x %x term %x %x %x\n", d.conf_event, d.conf_nsm, d.conf_packet,
                    d.term_event, d.term_nsm, d.term_packet);
        } else if (verb == "wmi-format") { // GROUP VID...: a VLAN list in groups of GROUP
            std::vector<int> vids(n.begin(), n.end());
            wmi_loopback_vlan_display_format(cli_, vids.data(), static_cast<int>(vids.size()),
                                             std::stoi(name));
        } else if (verb ==
                   "tics") { // SECONDS USEC: what is left of a timer after USEC, and of none
            thread *timer = thread_add_timer(veskm, no_op, nullptr, std::stol(name));
            zet_clock_advance_usec(n.at(0));
            cli_out(cli_, "%ld %ld\n", l2_timer_get_remaining_tics(timer),
                    l2_timer_get_remaining_tics(nullptr));
            thread_cancel(timer);
        } else if (verb == "description" && ifp != nullptr) {
            std::snprintf(ifp->desc, sizeof ifp->desc, "%s", rest.c_str());
        } else if (verb == "join" && port != nullptr) {
            join(port, static_cast<uint16_t>(n.at(0)));
        } else if (verb == "loop" && port != nullptr) { // VID: marked as the receive path does
            vesk_provlan *entry = vesk_find_provlan_from_port(static_cast<uint16_t>(n.at(0)), port);
            if (entry == nullptr)
                return "no such protect vlan";
            entry->is_loop = 1;
            port->loop_vlan_count++;
            vesk_update_state_machine(port);
            set_running(port, false); // as the network services module takes the link down
        } else if (verb == "state" && port != nullptr) { // PSTATE FLAGS, set by hand
            port->pstate = n.at(0);
            port->flags = n.at(1);
        } else if (verb != "interface") {
            return "no such action, or no such port";
        }
        return "";
    }

    std::string call(const std::string &mode, std::vector<std::string> words, int &result) {
        static const std::map<std::string, int (*)(struct cli *, int, char **)> handlers = {
            {"debug_vesk_packet", debug_vesk_packet},
            {"no_debug_vesk_packet", no_debug_vesk_packet},
            {"debug_vesk_events", debug_vesk_events},
            {"debug_vesk_machine", debug_vesk_machine},
            {"debug_vesk_nsm", debug_vesk_nsm},
            {"debug_vesk_all", debug_vesk_all},
            {"no_debug_vesk_all", no_debug_vesk_all},
            {"show_vesk_port", show_vesk_port},
            {"dump_vesk_global_port_info_cli", dump_vesk_global_port_info_cli},
            {"dump_vesk_global_vlan_info_cli", dump_vesk_global_vlan_info_cli}};
        const std::map<std::string, int> modes = {
            {"exec", EXEC_MODE}, {"config", CONFIG_MODE}, {"interface", INTERFACE_MODE}};
        if (words.empty() || !handlers.count(words[0]) || !modes.count(mode))
            return "no such mode or handler";
        std::vector<char *> argv;
        for (size_t i = 1; i < words.size(); i++)
            argv.push_back(words[i].data());
        argv.push_back(nullptr);
        const int was = cli_->mode;
        cli_->mode = modes.at(mode);
        result = handlers.at(words[0])(cli_, static_cast<int>(argv.size() - 1), argv.data());
        cli_->mode = was;
        return "";
    }

    // Standard output with the addresses of the model's records named ("<port ge1>"): one
    // printed otherwise (cut, padded, upper case) stays a number and fails the step.
    std::string name_addresses(std::string text) {
        auto name = [&](const void *p, const std::string &what) {
            char hex[32];
            std::snprintf(hex, sizeof hex, "0x%" PRIxPTR "\\b", reinterpret_cast<uintptr_t>(p));
            if (p != nullptr && !text.empty())
                text = std::regex_replace(text, std::regex(hex), "<" + what + ">");
        };
        for (vesk_port *p : ports_of(bridge())) {
            const std::string n = p->name;
            name(p, "port " + n);
            name(listhead(p->provlan_info) ? listgetdata(listhead(p->provlan_info)) : nullptr,
                 n + " protect list");
            name(p->vlan_list, n + " vlan list");
            name(p->tx_timer, n + " tx timer");
            name(p->resume_timer, n + " resume timer");
        }
        for (uint16_t vid = 1; vid < 4095; vid++) {
            if (vesk_vlan *v = vesk_find_vlan_from_bridge(vid, bridge())) {
                name(v, "vlan " + std::to_string(vid));
                name(v->vlan_port_list, "vlan " + std::to_string(vid) + " ports");
            }
        }
        return text;
    }

    // Makes every port anew with its defaults and memberships (as a restart would), reads the
    // running configuration back as a configuration file, and checks it is written the same.
    std::string round_trip() {
        const std::string text = cli_running_config(veskm);
        // ctest runs transcripts side by side: each process writes a file of its own.
        const std::string path =
            testing::TempDir() + "vesk-round-trip-" + std::to_string(getpid()) + ".conf";
        std::ofstream(path) << text;
        bridge()->vesk_enable = 0;
        for (vesk_port *port : ports_of(bridge())) {
            std::vector<uint16_t> vlans;
            for (vesk_rlist *r = port->vlan_list; r != nullptr; r = r->next)
                for (int vid = r->low; vid <= r->high; vid++)
                    vlans.push_back(static_cast<uint16_t>(vid));
            interface *ifp = port->ifp;
            vesk_remove_port_from_bridge(ifp, VESK_BRIDGE_NAME);
            vesk_port *fresh = vesk_bridge_add_port(bridge(), ifp);
            for (uint16_t vid : vlans)
                join(fresh, vid);
        }
        const int failed = host_config_read(veskm, path.c_str());
        std::remove(path.c_str());
        const std::string read = log().text();
        log().clear();
        if (failed != 0 || cli_running_config(veskm) != text)
            return read + "read back:\n" + cli_running_config(veskm) + "instead of\n" + text;
        return "";
    }

    struct cli *cli_ = nullptr;
};

class Transcripts : public Shell, public testing::WithParamInterface<std::string> {};

TEST_P(Transcripts, GiveWhatTheFileSays) {
    vesk_test::Transcript t;
    std::string err = vesk_test::transcript_load(kDir + GetParam() + ".txt", t);
    if (err.empty())
        err = vesk_test::transcript_run(
            t, [this](const TranscriptStep &s, TranscriptStep &a) { return step(s, a); });
    if (!err.empty())
        ADD_FAILURE() << err;
}

INSTANTIATE_TEST_SUITE_P(Cli, Transcripts, testing::ValuesIn(vesk_test::transcript_names(kDir)),
                         [](const auto &info) {
                             return std::regex_replace(info.param, std::regex("-"), "_");
                         });

} // namespace
