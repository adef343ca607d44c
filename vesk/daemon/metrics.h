// The metrics file for node exporter's textfile collector: veskd.prom in VESK_METRICS_DIR (else
// VESK_METRICS_DIR_DEFAULT), replaced whole by a rename, written from a timer of the event loop
// (never from a verdict): after a change at most once a second, and at least once a minute.
#pragma once

struct lib_globals;

inline constexpr char VESK_METRICS_DIR_DEFAULT[] = "/var/lib/prometheus/node-exporter";
inline constexpr char VESK_METRICS_FILE[] = "veskd.prom";

// Starts the timer when the directory exists; otherwise logs once and writes nothing.
void vesk_metrics_start(struct lib_globals *zg);
// Stops the timer and removes the file, so that node exporter stops reporting a veskd that is
// gone.
void vesk_metrics_stop(void);
