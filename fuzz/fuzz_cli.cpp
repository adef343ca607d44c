// Command lines typed into the command shell of a configured daemon, at the highest privilege.
// Each input line runs as a command (with the configuration file's fallback to the enclosing
// mode when its first byte is odd), asks for help when it ends in "?" and for completions when
// it ends in a TAB. Besides crashes, leaks and undefined behaviour: the model must hold
// together after every line, and whatever configuration the lines leave must read back into the
// same running configuration.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_daemon.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"

namespace {

// A configured daemon, so that lines meet ports with settings and protect VLANs.
const char *const kBaseConfig[] = {
    "configure terminal",
    "interface ge1",
    "loop-detect enable",
    "loop-detect protect vlan 10",
    "loop-detect tx-interval time 30",
    "interface ge2",
    "loop-detect protect vlan 10",
    "loop-detect loop log",
    "interface xe1",
    "loop-detect enable",
    "loop-detect resume time 300",
    "end",
};

void run_line(struct cli *cli, std::string line) {
    // Paths could name any file; the scratch directory is the only place lines may write.
    if (line.find('/') != std::string::npos)
        return;
    bool fallback = !line.empty() && (static_cast<uint8_t>(line[0]) & 1);
    if (!line.empty() && line.back() == '?') {
        line.pop_back();
        cli_describe(cli, line.c_str());
    } else if (!line.empty() && line.back() == '\t') {
        line.pop_back();
        cli_complete(cli, line.c_str());
    } else {
        cli_execute(cli, line.c_str(), fallback);
    }
    cli_output_take(cli);
    // A line may move the log; debug lines must keep going nowhere.
    zlog_set_discard(veskm->log);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    vesk_fuzz::enter_scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vesk_fuzz::StartOptions options;
    options.commands = true;
    vesk_fuzz::start(options);
    vesk_fuzz::add_switch();
    struct cli *cli = cli_new(veskm, 15);
    if (cli == nullptr)
        vesk_fuzz::fail("no command context");
    for (const char *line : kBaseConfig)
        cli_execute(cli, line, false);
    cli_output_take(cli);
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        run_line(cli, text.substr(begin, end - begin));
        vesk_fuzz::check_model();
        begin = end + 1;
    }
    cli_free(cli);
    vesk_fuzz::check_round_trip_and_stop();
    return 0;
}
