// Command lines typed at privilege 15 into a daemon with port settings (an odd first byte adds
// the file's fallback; "?" and TAB ask for help): the model holds and the configuration reads back.
#include <algorithm>

#include "fuzz_daemon.h"
#include "support/typed_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vesk_fuzz::start_switch("interface ge1\n loop-detect enable\n loop-detect protect vlan 10\n"
                            " loop-detect tx-interval time 30\ninterface ge2\n"
                            " loop-detect protect vlan 10\n loop-detect loop log\ninterface xe1\n"
                            " loop-detect enable\n loop-detect resume time 300\n");
    lib_globals *zg = vesk_fuzz::world.handle();
    struct cli *cli = cli_new(zg, 15);
    std::string text(reinterpret_cast<const char *>(data), size);
    for (size_t begin = 0, end; begin <= text.size(); begin = end + 1) {
        end = std::min(text.find('\n', begin), text.size());
        const std::string line = text.substr(begin, end - begin);
        // Paths could name any file; the scratch directory is the only place lines may write.
        if (line.find('/') == std::string::npos)
            vesk_test::run_typed_line(cli, line, !line.empty() && (uint8_t(line[0]) & 1));
        cli_output_take(cli);
        zlog_set_discard(zg->log); // a line may move the log; debug lines must go nowhere
        vesk_fuzz::world.check_model();
    }
    cli_free(cli);
    vesk_fuzz::check_round_trip_and_stop();
    return 0;
}
