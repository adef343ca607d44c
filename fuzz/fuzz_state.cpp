// State files left by an earlier veskd, or put there by someone else. Besides crashes and
// undefined behaviour: what the parser accepts reads back the same once veskd writes it, and
// what it skips is named by line.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vesk/daemon/state_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<vesk_state_entry> entries(VESK_STATE_MAX_ENTRIES), reread(VESK_STATE_MAX_ENTRIES);
    std::vector<int> bad;
    const int count = vesk_state_parse(reinterpret_cast<const char *>(data), size, entries.data(),
                                       VESK_STATE_MAX_ENTRIES, &bad);
    // A foreign file is named by its first line; bad lines after the header ascend.
    if (count < 0 && bad != std::vector<int>{1})
        std::abort();
    for (size_t i = 0; count >= 0 && i < bad.size(); i++)
        if (bad[i] < 2 || (i > 0 && bad[i] <= bad[i - 1]))
            std::abort();
    std::string again = "veskd-state 1\n";
    for (int i = 0; i < count; i++) {
        const vesk_state_entry &e = entries[size_t(i)];
        for (const char *c = e.name; *c != '\0'; c++)
            if (*c <= ' ' || *c > '~')
                std::abort();
        if ((e.flags >= 0 || e.vid != 0) && !e.blocked)
            std::abort();
        if (e.vid > 4094 || (e.vid != 0 && e.flags >= 0))
            std::abort();
        again += vesk_state_line(e);
    }
    std::vector<int> rebad;
    if (count >= 0 && (vesk_state_parse(again.data(), again.size(), reread.data(),
                                        VESK_STATE_MAX_ENTRIES, &rebad) != count ||
                       !rebad.empty()))
        std::abort();
    for (int i = 0; i < count; i++) {
        const vesk_state_entry &a = entries[size_t(i)], &b = reread[size_t(i)];
        if (a.ifindex != b.ifindex || a.deadline != b.deadline || a.blocked != b.blocked ||
            a.flags != b.flags || a.vid != b.vid || std::strcmp(a.name, b.name) != 0)
            std::abort();
    }
    return 0;
}
