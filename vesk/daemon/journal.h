// Loop events as structured journal entries: under systemd (its journal socket exists at start)
// and while veskd logs to syslog, each log line of a loop event goes to the journal with its
// MESSAGE_ID and VESK_* fields (docs/journal.md) instead of through syslog; every other line, and
// every line without a journal, goes as before.
#pragma once

struct lib_globals;

inline constexpr char VESK_JOURNAL_SOCKET[] = "/run/systemd/journal/socket";

void vesk_journal_start(struct lib_globals *zg);
