// The daemon's cases as data on a fresh ModelFixture: a test per "test NAME" block of the scenarios
// (*.scn) and per transcript (*.txt) of tests/vesk, and per framework shell transcript of
// tests/zet/data/cli; both languages are in docs/testing.md.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include "support/daemon_shell.h"
#include "support/model_fixture.h"
#include "support/text.h"
#include "support/transcript.h"
#include "support/typed_line.h"
#include "support/wire_peer.h"
#include "vesk/daemon/start.h"
#include "vesk/daemon/state_file.h"
#include "vesk/daemon/teardown.h"
#include "vesk/daemon/usage.h"
#include "vesk/frame/auth.h"
#include "vesk/frame/receive.h"
#include "vesk/frame/shed.h"
#include "vesk/frame/transmit.h"
#include "vesk/machine/api.h"
#include "vesk/machine/state_machine.h"

namespace {

using Words = std::vector<std::string>;
using vesk_test::replace_all;

Words split(const std::string &line) {
    Words out;
    std::istringstream in(line);
    for (std::string w; in >> std::ws && !in.eof(); out.push_back(w))
        in.peek() == '"' ? in >> std::quoted(w) : in >> w;
    return out;
}

const std::map<std::string, long long> kNames = {{"MTYPE_ZET_THREAD", MTYPE_ZET_THREAD},
                                                 {"ZLOG_WARNING", ZLOG_WARNING}};

// The frames' time of day, moved by "wall"; the microseconds show it is not rounded.
constexpr long kWall = 1700000000, kWallUsec = 999999;

class Driver : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        set_time_of_day(kWall, kWallUsec);
        ASSERT_NE(mkdtemp(dir_.data()), nullptr);
        vesk_test::install_test_commands(handle());
        cli_ = cli_new(handle(), PRIVILEGE_MAX);
    }
    void TearDown() override {
        if (vesk_get_master(handle()) != nullptr && bridge() != nullptr)
            std::strcpy(bridge()->name, VESK_BRIDGE_NAME);
        cli_free(cli_);
        ModelFixture::TearDown();
        peer_.reset();
        std::filesystem::remove_all(dir_);
    }

    // Runs one command, or "A ; B ..." in turn: the last one's result, in got_ if it gives one.
    long long run(const Words &step) {
        if (const auto semi = std::find(step.begin(), step.end(), ";"); semi != step.end())
            return run(Words(step.begin(), semi)), run(Words(semi + 1, step.end()));
        w_ = &step;
        got_.reset();
        if (verbs_.count(step.at(0)) == 0)
            throw std::runtime_error("no command " + step[0]);
        verbs_.at(step[0])();
        return got_.value_or(0);
    }

    // Word i of the current step as text, number, interface, port, protect entry or bridge.
    const std::string &s(size_t i) const { return w_->at(i); }
    long long n(size_t i) const {
        if (auto it = kNames.find(s(i)); it != kNames.end())
            return it->second;
        char *end = nullptr;
        const long long v = std::strtoll(s(i).c_str(), &end, 0);
        if (*end != '\0' || s(i).empty())
            throw std::runtime_error("not a number: " + s(i));
        return v;
    }
    uint16_t vid(size_t i) const { return static_cast<uint16_t>(n(i)); }
    interface *ifp(size_t i) {
        if (interface *f = ifg_lookup_by_name(handle()->ifg, s(i).c_str()))
            return f;
        throw std::runtime_error("no interface " + s(i));
    }
    vesk_port *p(size_t i) {
        if (auto *port = static_cast<vesk_port *>(ifp(i)->info))
            return port;
        throw std::runtime_error("no port " + s(i));
    }
    vesk_provlan *entry(size_t i, size_t vid_at) {
        if (vesk_provlan *e = vesk_find_provlan_from_port(vid(vid_at), p(i)))
            return e;
        throw std::runtime_error(s(i) + " does not protect " + s(vid_at));
    }
    vesk_bridge *b(size_t i) { return vesk_find_bridge_from_master(s(i).c_str(), master()); }
    template <typename T = uint16_t> std::vector<T> vids(size_t from) const { // to "down"
        std::vector<T> out;
        for (size_t i = from; i < w_->size() && s(i) != "down"; i++)
            out.push_back(T(n(i)));
        return out;
    }
    Words rest(size_t from) const { return Words(w_->begin() + from, w_->end()); }
    std::vector<uint8_t> &frame(size_t i) { return frames_.at(s(i)); }

    // The seconds since the start at which the wire got frames of the port during the next n
    // seconds (each second once), those already on the wire counted now.
    Words sends(long seconds) {
        Words at;
        for (long i = 0;; i++) {
            bool sent = false;
            for (vesk_test::SentFrame f; peer_->next(f, 0);)
                sent = sent || f.addr.ifindex == static_cast<int>(p(1)->ifindex);
            if (sent)
                at.push_back(std::to_string(elapsed()));
            if (i == seconds)
                return at;
            advance(1);
        }
    }
    // The port's state, the seconds until its release ("-": none) and the VLANs it is blocked in
    // alone, if any, as its JSON shows them.
    Words shown() {
        cli_output_take(cli_);
        cli_execute(cli_, ("show loop-detect interface " + s(1) + " json").c_str(), false);
        const auto j = nlohmann::json::parse(cli_output_take(cli_));
        const auto &left = j.at("resume_remaining");
        Words got{j.at("state").get<std::string>(), left.is_null() ? "-" : left.dump()};
        if (j.contains("blocked_vlans"))
            got.push_back(j.at("blocked_vlans").dump());
        return got;
    }
    // The daemon's change callbacks, as the client calls them.
    const nsm_client_events &events() const { return nsm_client_get_events(handle()->nc); }
    void link() { // up|down IFINDEX FLAGS [MAC]: the record takes them, then the daemon is told
        interface *f = ifg_lookup_by_index(handle()->ifg, uint32_t(n(2)));
        const bool was_up = f != nullptr && if_is_up(f);
        if (f != nullptr) {
            f->flags = uint32_t(n(3));
            uint8_t *m = f->hw_addr;
            if (w_->size() > 4)
                std::sscanf(s(4).c_str(), "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", m, m + 1, m + 2, m + 3,
                            m + 4, m + 5);
        }
        events().link(handle(), uint32_t(n(2)), was_up, w_->size() > 4);
    }
    void vlan_port() { // add|del IFINDEX [VID...]
        const std::vector<uint16_t> v = vids(3);
        if (s(1) == "del")
            return events().port_vlans_deleted(handle(), uint32_t(n(2)), v.data(), v.size());
        events().port_vlans_added(handle(), uint32_t(n(2)), v.data(), v.size());
    }
    // The frame PORT last sent on VID (the same second encodes it alike); MODE "foreign" builds
    // one with a scratch entry, "own" one into the port's entry.
    std::vector<uint8_t> build(size_t at = 2) { // PORT VID [MODE] from word at
        vesk_provlan scratch{};
        const std::string mode = w_->size() > at + 2 ? s(at + 2) : "";
        scratch = mode == "foreign" ? scratch : *entry(at, at + 1);
        scratch.vid = vid(at + 1);
        uint8_t image[VESK_FRAME_BUF_LEN] = {};
        vesk_encode_pkt(p(at), mode == "own" ? entry(at, at + 1) : &scratch, image + 22, image,
                        image);
        EXPECT_EQ(image[VESK_FRAME_LEN], 0) << "the spare byte stays clear";
        return std::vector<uint8_t>(image, image + VESK_FRAME_LEN);
    }
    static std::vector<uint8_t> address(uint32_t rx) {
        std::vector<uint8_t> a(VESK_RECV_ADDR_LEN, 0xff);
        std::memcpy(a.data() + 12, &rx, 4);
        return a;
    }
    // The image's payload, with the bytes of the words from word "from" on ("BYTE=VALUE" or
    // "BYTE^VALUE", from the ARP header on) set or flipped.
    std::vector<uint8_t> pdu(const std::vector<uint8_t> &image, size_t from) {
        std::vector<uint8_t> copy(image.begin() + VESK_LINK_HDR_LEN, image.end());
        for (size_t i = from; i < w_->size(); i++) {
            const size_t op = s(i).find_first_of("=^");
            const auto at = std::stoul(s(i)), value = std::stoul(s(i).substr(op + 1), nullptr, 0);
            copy.at(at) = uint8_t(s(i).at(op) == '=' ? value : copy.at(at) ^ value);
        }
        return copy;
    }
    // "arrive NAME RX ..." (a frame built before) or "back PORT VID RX ..." (what PORT last sent
    // on VID) arrives on RX, its payload edited from word "from" on; judged at once unless "post"
    // has the receive thread post it.
    void arrive(const std::vector<uint8_t> &image, uint32_t rx, size_t from,
                decltype(vesk_recv) *recv = vesk_recv_verdict) {
        recv(handle(), address(rx).data(), pdu(image, from).data(), VESK_PDU_LEN);
    }
    void expect_sent() {
        vesk_test::SentFrame f;
        if (s(1) == "none") {
            EXPECT_FALSE(peer_->next(f, 0)) << "a frame was sent";
            return;
        }
        ASSERT_TRUE(peer_->next(f, 0)) << "no frame sent";
        const std::vector<uint8_t> image = build(1);
        EXPECT_EQ(f.payload, std::vector<uint8_t>(image.begin() + VESK_LINK_HDR_LEN, image.end()));
        EXPECT_EQ(0, std::memcmp(f.payload.data() + 38, entry(1, 2)->tx_check, 8));
        EXPECT_EQ(f.addr.vid, vid(2));
        EXPECT_EQ(f.addr.ifindex, static_cast<int>(p(1)->ifindex));
        EXPECT_EQ(f.addr.pad, 0);
        EXPECT_EQ(0, std::memcmp(f.addr.dst, vesk_arp_addr, 6));
        EXPECT_EQ(0, std::memcmp(f.addr.src, p(1)->mac_address, 6));
    }
    long long vesk_send_captured() {
        const uint8_t data[VESK_PDU_LEN] = {};
        testing::internal::CaptureStdout();
        const int r = vesk_send(daemon(), vesk_arp_addr, vesk_arp_addr, int32_t(n(1)), vid(2), data,
                                VESK_PDU_LEN);
        stdout_ = testing::internal::GetCapturedStdout();
        return r;
    }
    // A 0xAA-filled word with v encoded into its first len bytes, read back over dlen bytes.
    long long element() {
        uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
        vesk_encode_pkt_element(uint32_t(n(1)), out, int(n(2)));
        return decode_pkt_element(out, int(n(3)));
    }
    // "on PORT LINE..." (interface commands on PORT) or "cmd LINE..." (at the shell, each in the
    // mode the one before left), then back to exec mode: the first failure's result.
    int shell(Words lines, const Words &before = {}) {
        lines.insert(lines.begin(), before.begin(), before.end());
        int result = 0;
        cli_output_take(cli_); // "out" checks what these lines print
        for (const std::string &line : lines) {
            const int r = cli_execute(cli_, line.c_str(), true);
            result = result != 0 ? result : r;
        }
        cli_execute(cli_, "end", false);
        return result;
    }
    // "options WANT ARG...": veskd's arguments give what WANT says (what differs from the
    // defaults), into one shared options record; the action is the result.
    long long options() {
        Words words = rest(2);
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStderr(); // the bad port's message: checked by command_line.scn
        const int action = vesk_parse_options(int(words.size()), argv.data(), &options_);
        testing::internal::GetCapturedStderr();
        // Only what differs from the defaults (foreground, port 2610, no file, name veskd).
        std::string got = options_.daemon_mode != 0 ? "daemon" : "";
        got += options_.vty_port != 2610 ? " port " + std::to_string(options_.vty_port) : "";
        got += options_.config_file != nullptr ? std::string(" file ") + options_.config_file : "";
        got += std::string(options_.progname) != "veskd"
                   ? " name [" + std::string(options_.progname) + "]"
                   : "";
        EXPECT_EQ(got.substr(got.starts_with(" ")), s(1));
        return action;
    }
    // A state file's text ("\n" and "\xHH" for bytes): -1 for a file refused whole, the numbers
    // of the bad lines, each port read.
    long long state_file() {
        std::string text;
        for (const std::string &w : rest(1))
            text += (text.empty() ? "" : " ") + w;
        for (size_t at; (at = text.find('\\')) != std::string::npos;)
            text.replace(
                at, text[at + 1] == 'n' ? 2 : 4, 1,
                text[at + 1] == 'n' ? '\n' : char(std::stoi(text.substr(at + 2, 2), nullptr, 16)));
        vesk_state_entry e[4]{};
        std::vector<int> bad;
        const int count = vesk_state_parse(text.data(), text.size(), e, 4, &bad);
        std::string skipped;
        for (int line : bad)
            skipped += " " + std::to_string(line);
        if (!skipped.empty())
            cli_out(cli_, "bad%s\n", skipped.c_str());
        for (int i = 0; i < count; i++)
            cli_out(cli_, "%s", vesk_state_line(e[i]).c_str());
        return std::min(count, 0); // the ports read are the lines printed
    }
    // What a child that made a fresh file its console printed there; then a console not opened.
    long long console() {
        const std::string path = dir_ + "/console";
        close(creat(path.c_str(), 0600));
        std::fflush(nullptr); // what the test printed before must not be written again
        pid_t pid = fork();
        if (pid == 0) {
            // Buffered for the old stream (no newline): it must not reach the console.
            std::fputs(" ", stdout);
            if (vesk_console_redirect(path.c_str()) != 0)
                _exit(2);
            std::printf("out\n");
            std::fflush(stdout);
            std::fprintf(stderr, "err\n");
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        cli_out(cli_, "exit status %d, console:\n%s", status, vesk_test::read_file(path).c_str());
        return vesk_console_redirect("/nonexistent/dmn/console");
    }
    // The shell's own: a shell line's output, each word as cmd_str2int reads it (value, status),
    // a syntax installed in a mode (a command that does nothing).
    long long run_shell() {
        FILE *p = popen(("export LC_ALL=C; " + arg_ + " 2>&1").c_str(), "r");
        char buf[4096];
        for (size_t got; p != nullptr && (got = fread(buf, 1, sizeof buf, p)) > 0;)
            cli_out(cli_, "%.*s", static_cast<int>(got), buf);
        return p == nullptr || pclose(p) != 0;
    }
    void number() {
        for (size_t i = 1; i < w_->size(); i++) {
            int st = 0, v = cmd_str2int(s(i).c_str(), &st);
            cli_out(cli_, "%s%s %d %d", i > 1 ? ", " : "", s(i).c_str(), v, st);
        }
        cli_out(cli_, "\n");
    }
    long long install() {
        const std::string syntax = arg_.substr(arg_.find(' ') + 1);
        struct cli_element cel = {syntax.c_str(), [](struct cli *, int, char **) { return 0; },
                                  nullptr};
        return cli_install(handle()->ctree, std::stoi(arg_), &cel);
    }
    const Words *w_ = nullptr;
    std::string arg_; // a transcript action's text after its verb, as written
    std::string dir_ = "/tmp/vesk-unit-XXXXXX"; // a transcript's "$DIR"
    std::map<std::string, std::vector<uint8_t>> frames_;
    nsm_client *nc_ = nullptr;
    std::unique_ptr<vesk_test::WirePeer> peer_;
    vesk_recv_shed shed_{};
    vesk_options options_{};
    std::string stdout_;
    struct cli *cli_ = nullptr;
    std::optional<long long> got_; // the result of the last command that gives one

    // The commands: those that give a result (checked by "=> N"; 1 or 0 for a record or none),
    // those that give nothing, then those that check.
    const std::map<std::string, std::function<void()>> verbs_ = {
        {"rename", [this] { got_ = if_rename(handle(), ifp(1), s(2).c_str()); }},
        {"element", [this] { got_ = element(); }},
        {"send", [this] { got_ = vesk_send_pkt(p(1)); }},
        {"probe", [this] { got_ = vesk_port_probe(p(1)); }},
        {"vesk-send", [this] { got_ = vesk_send_captured(); }},
        {"options", [this] { got_ = options(); }},
        {"console", [this] { got_ = console(); }},
        {"state-file", [this] { got_ = state_file(); }},
        {"shed",
         [this] { got_ = vesk_recv_shed_repeat(&shed_, n(2), pdu(frame(1), 4).data(), n(3)); }},
        {"on",
         [this] {
             got_ = shell(rest(2), {"configure terminal", "interface " + s(1)});
         }},
        {"cmd", [this] { got_ = shell(rest(1)); }},
        {"run", [this] { got_ = run_shell(); }},
        {"read", [this] { got_ = host_config_read(handle(), s(1).c_str()); }},
        {"start", // afresh, as veskd starts: the vty on the socket in $DIR, no TCP
         [this] {
             host_free(handle());
             host_vty_set_unix(handle(), (dir_ + "/vty").c_str(), nullptr, nullptr);
             got_ = host_config_start(handle(), s(1).c_str(), 0) != 0;
         }},
        {"rotate", [this] { got_ = zlog_rotate(handle(), nullptr) != 0; }},
        {"number", [this] { number(); }},
        {"install", [this] { got_ = install(); }},
        {"complain", // a writer that prints an operator message
         [this] {
             cli_install_config(handle()->ctree, GLOBAL_WRITER_MODE, [](struct cli *c) -> int {
                 return cli_out(c, "%% The bridge is not found\n") > 0;
             });
         }},
        {"port",
         [this] {
             vesk_port *port = make_port(s(1).c_str(), uint32_t(n(2)), {}, w_->back() != "down");
             for (uint16_t v : vids(3))
                 join(port, v);
         }},
        {"iface", [this] { make_interface(s(1).c_str(), uint32_t(n(2)), w_->back() != "down"); }},
        {"advance", // seconds, with a fraction
         [this] {
             advance(std::stol(s(1)));
             zet_clock_advance_usec(std::lround(std::fmod(std::stod(s(1)), 1) * 1e6));
         }},
        {"clear",
         [this] {
             clear_requests();
             log().clear();
         }},
        {"fail", [this] { memory_fail_next(int(n(1)), int(n(2))); }},
        {"nsm-toggle", [this] { std::swap(nc_, handle()->nc); }}, // off, or back on
        {"enable", [this] { vesk_enable_port(p(1)); }},
        {"disable", [this] { vesk_disable_port(p(1)); }},
        {"rename-bridge", [this] { std::snprintf(b(1)->name, 17, "%s", s(2).c_str()); }},
        {"description",
         [this] { std::snprintf(ifp(1)->desc, sizeof ifp(1)->desc, "%s", s(2).c_str()); }},
        {"if-delete", [this] { if_delete(handle(), ifp(1)); }},
        {"release", [this] { vesk_release_model(handle()); }},
        {"frame", [this] { frames_[s(1)] = build(); }},
        {"arrive", [this] { arrive(frame(1), uint32_t(n(2)), 3); }},
        {"back", [this] { arrive(build(1), uint32_t(n(3)), 4); }},
        {"aged", // PORT VID WALL USEC
         [this] {
             const std::vector<uint8_t> image = build(1);
             set_time_of_day(kWall + n(3), kWallUsec);
             zet_clock_advance_usec(n(4));
             arrive(image, p(1)->ifindex, w_->size());
             set_time_of_day(kWall, kWallUsec);
             vesk_send_pkt(p(1));
         }},
        {"post", [this] { arrive(frame(1), uint32_t(n(2)), 3, vesk_recv); }},
        {"run-due", // [USEC...]: due work, or the clock moved by each in turn and due work after it
         [this] {
             for (size_t i = 1; i < w_->size(); i++) {
                 zet_clock_advance_usec(n(i));
                 thread_run_due(handle());
             }
             if (w_->size() == 1)
                 thread_run_due(handle());
         }},
        {"wall", [this] { set_time_of_day(kWall + n(1), kWallUsec); }},
        {"usec", [this] { zet_clock_advance_usec(n(1)); }},
        {"fdb-move",
         [this] {
             events().fdb_move(handle(),
                               {uint32_t(n(1)), uint32_t(n(2)), vid(3), {2, 0, 0, 0, 10, 1}});
         }},
        {"link", [this] { link(); }},
        {"bridge", // add|del NAME [TYPE]
         [this] {
             const auto type = uint8_t(w_->size() > 3 ? n(3) : 1); // VLAN-aware unless given
             (s(1) == "add" ? events().bridge_added : events().bridge_deleted)(handle(),
                                                                               s(2).c_str(), type);
         }},
        {"vlan", // add|del BRIDGE VID
         [this] {
             (s(1) == "add" ? events().vlan_added : events().vlan_deleted)(handle(), s(2).c_str(),
                                                                           vid(3));
         }},
        {"vlan-port", [this] { vlan_port(); }},
        {"vlan-forwarding", // IFINDEX VID on|off: the bridge's own state of the port's VLAN
         [this] { events().port_vlan_forwarding(handle(), uint32_t(n(1)), vid(2), s(3) == "on"); }},
        {"socket",
         [this] {
             peer_ = std::make_unique<vesk_test::WirePeer>();
             std::snprintf(handle()->platform.frame, sizeof handle()->platform.frame, "%s",
                           peer_->spec().c_str());
             ASSERT_GE(vesk_sock_init(daemon()), 0);
             ASSERT_TRUE(peer_->wait_hello());
         }},
        {"requests",
         [this] {
             Words got;
             for (const auto &r : requests())
                 got.push_back(std::to_string(r.ifindex) + ":" + std::to_string(r.flags) +
                               (r.vid != 0 ? ":" + std::to_string(r.vid) : ""));
             EXPECT_EQ(got, rest(1));
         }},
        {"log", [this] { EXPECT_EQ(log().lines(), rest(1)) << log().text(); }},
        {"count",
         [this] {
             const Words lines = log().lines();
             EXPECT_EQ(std::count(lines.begin(), lines.end(), s(1)), n(2)) << log().text();
         }},
        {"prios", [this] { EXPECT_EQ(log().priorities(), vids<int>(1)); }},
        {"sends", [this] { EXPECT_EQ(sends(n(2)), rest(3)); }},
        {"unbound", [this] { EXPECT_EQ(ifp(1)->info, nullptr); }},
        {"bytes",
         [this] {
             std::ostringstream hex;
             for (uint8_t byte : frame(1))
                 hex << std::hex << std::setw(2) << std::setfill('0') << int{byte};
             EXPECT_EQ(hex.str().substr(0, s(2).size()), s(2)) << "the first bytes";
         }},
        {"keyed", // PORT VID NAME: its checks, the keyed hash, are what the entry records
         [this] {
             const uint8_t *check = frame(3).data() + VESK_OFF_CHECK;
             uint8_t hash[VESK_CHECK_LEN];
             crypto_shorthash(hash, frame(3).data(), VESK_OFF_CHECK, daemon()->auth.key);
             EXPECT_EQ(0, std::memcmp(check, hash, VESK_CHECK_LEN));
             EXPECT_EQ(0, std::memcmp(entry(1, 2)->tx_check, check, VESK_CHECK_LEN));
         }},
        {"sent", [this] { expect_sent(); }},
        {"shows", // PORT STATE [SECONDS [BLOCKED_VLANS]]
         [this] {
             Words want{s(2), w_->size() > 3 ? s(3) : "-"};
             if (w_->size() > 4)
                 want.push_back(s(4));
             EXPECT_EQ(shown(), want) << s(1);
         }},
        {"stats", // PORT OWN MAC VLAN STALE CHECK: its frames back, and those refused by reason
         [this] {
             cli_output_take(cli_);
             cli_execute(cli_, "show loop-detect statistics json", false);
             Words got;
             const auto j = nlohmann::json::parse(cli_output_take(cli_));
             for (const auto &c : j.at("ports")) {
                 const auto &r = c.at("refused");
                 if (c.at("name") == s(1))
                     got = {c.at("own_frames_back").dump(), r.at("mac").dump(), r.at("vlan").dump(),
                            r.at("stale").dump(), r.at("check").dump()};
             }
             EXPECT_EQ(got, rest(2));
         }},
        {"out", [this] { EXPECT_EQ(lines(cli_output_take(cli_)), rest(1)); }},
        {"stdout",
         [this] { EXPECT_NE(stdout_.find(s(1)), std::string::npos) << s(1) << " in " << stdout_; }},
    };
    // Runs a transcript (support/transcript.h) with "$DIR" the scratch directory and "$SRC" the
    // transcript's folder: a typed line as the vty runs it ("?" or "\t" at its end ask for help or
    // completion), an action as run's words. Then come what it printed, "(closed)" when the
    // session asked to end, the standard output it gave after "\ stdout:", and the log lines with
    // their priority.
    void run_file(const std::string &path) {
        const std::string src = std::filesystem::path(path).parent_path();
        auto named = [&](const std::string &t) {
            return replace_all(replace_all(t, dir_, "$DIR"), src, "$SRC");
        };
        vesk_test::run_transcript(
            path, [this] { return cli_prompt(cli_); },
            [&](const std::string &text, bool typed) {
                vesk_test::TranscriptStep step;
                log().clear();
                testing::internal::CaptureStdout();
                const std::string line = replace_all(replace_all(text, "$DIR", dir_), "$SRC", src);
                arg_ = line.substr(std::min(line.find(' ') + 1, line.size()));
                try {
                    step.result =
                        typed
                            ? vesk_test::run_typed_line(cli_, replace_all(line, "\\t", "\t"), true)
                            : static_cast<int>(run(split(line)));
                } catch (const std::exception &e) {
                    ADD_FAILURE() << e.what();
                }
                step.printed = lines(named(cli_output_take(cli_)));
                if (cli_close_requested(cli_))
                    step.printed.emplace_back("(closed)");
                if (const std::string out = name_addresses(testing::internal::GetCapturedStdout());
                    !out.empty()) {
                    step.printed.push_back("\\ stdout:");
                    for (const std::string &o : lines(out))
                        step.printed.push_back(o);
                }
                // What "test log" logs is the line typed again: the file shows what became of it.
                const Words logged = log().lines();
                for (size_t i = 0; text.find("test log ") == text.npos && i < logged.size(); i++)
                    step.logged.push_back(std::to_string(log().priorities()[i]) + " " +
                                          named(logged[i]));
                return step;
            });
    }
    static std::vector<std::string> lines(const std::string &text) {
        return vesk_test::text_lines(text);
    }

    // Standard output with the model's record addresses named ("<port ge1>"); a misprinted one
    // fails.
    std::string name_addresses(std::string text) {
        auto name = [&](const void *p, const std::string &what) {
            char hex[32];
            std::snprintf(hex, sizeof hex, "0x%" PRIxPTR "\\b", reinterpret_cast<uintptr_t>(p));
            if (p != nullptr && !text.empty())
                text = std::regex_replace(text, std::regex(hex), "<" + what + ">");
        };
        for (const auto &p : bridge()->ports) {
            const std::string n = p->name;
            name(p.get(), "port " + n);
            name(&p->provlans, n + " protect list");
            name(&p->vlans, n + " vlan list");
            name(p->tx_timer.get(), n + " tx timer");
        }
        name(&bridge()->vlans, "bridge vlans");
        name(&bridge()->ports, "bridge ports");
        return text;
    }
};

class Scenario : public Driver, public ::testing::WithParamInterface<vesk_test::Case> {};
class Shell : public Driver, public ::testing::WithParamInterface<vesk_test::Case> {};

// The framework's shell transcripts, on the daemon's commands.
VESK_CASES(Cli, Shell, RunsAsWritten, VESK_SOURCE_DIR "/tests/zet/data/cli", ".*") {
    run_file(GetParam().path);
}

VESK_CASES(Files, Scenario, Runs, VESK_SOURCE_DIR "/tests/vesk", ".*") {
    const vesk_test::Case &c = GetParam();
    if (c.steps.empty())
        return run_file(c.path);
    for (const vesk_test::Step &step : c.steps) {
        SCOPED_TRACE(c.path + ":" + std::to_string(step.line));
        ASSERT_TRUE(step.checks.empty() && step.max < 0) << "a step of a real veskd's scenarios";
        const Words words = split(step.verb + " " + step.arg);
        const auto arrow = std::find(words.begin(), words.end(), "=>");
        const Words result(arrow + (arrow != words.end()), words.end());
        try {
            for (int i = 0; i < step.times; i++)
                run(Words(words.begin(), arrow));
            w_ = &result;
            if (!result.empty()) {
                ASSERT_TRUE(got_) << step.verb << " gives no result";
                EXPECT_EQ(*got_, n(0)) << step.verb;
            }
        } catch (const std::exception &e) {
            FAIL() << e.what() << " (" << step.verb << ")";
        }
    }
}

} // namespace
