// State files left by an earlier veskd, or put there by someone else. Besides crashes and
// undefined behaviour: what the parser accepts is exactly what veskd itself would write.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vesk/daemon/state_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<vesk_state_entry> entries(VESK_STATE_MAX_ENTRIES), reread(VESK_STATE_MAX_ENTRIES);
    int bad_line = 0;
    const int count = vesk_state_parse(reinterpret_cast<const char *>(data), size, entries.data(),
                                       VESK_STATE_MAX_ENTRIES, &bad_line);
    if (count < 0 && bad_line < 1)
        std::abort();
    std::string again = "veskd-state 1\n";
    for (int i = 0; i < count; i++) {
        const vesk_state_entry &e = entries[size_t(i)];
        for (const char *c = e.name; *c != '\0'; c++)
            if (*c <= ' ' || *c > '~')
                std::abort();
        char line[96];
        std::snprintf(line, sizeof line, "%s %u %s %lld\n", e.blocked ? "block" : "shutdown",
                      e.ifindex, e.name, e.deadline);
        again += line;
    }
    if (count >= 0 && vesk_state_parse(again.data(), again.size(), reread.data(),
                                       VESK_STATE_MAX_ENTRIES, nullptr) != count)
        std::abort();
    for (int i = 0; i < count; i++) {
        const vesk_state_entry &a = entries[size_t(i)], &b = reread[size_t(i)];
        if (a.ifindex != b.ifindex || a.deadline != b.deadline || a.blocked != b.blocked ||
            std::strcmp(a.name, b.name) != 0)
            std::abort();
    }
    return 0;
}
