// Configuration kept by interface name, apart from the live model: the interface lines of the
// configuration file for an interface that is not a port of the bridge when they are read, and
// the settings of a port whose interface is deleted. They apply when the port appears and are
// written by "write" meanwhile, so start order and re-created interfaces never change what is
// protected.
#pragma once

#include <string>
#include <vector>

struct cli;
struct vesk_port;

// The command shell's keeper: one line for the interface name selected by name.
int vesk_kept_keep(struct cli *cli, const char *name, const char *line);
// A port appeared or took a new name: the lines kept for its name run on it, then are forgotten.
void vesk_kept_apply(struct vesk_port *port);
// The port's interface goes: its setting lines are kept under its name.
void vesk_kept_save(struct vesk_port *port);
// Every name with kept lines.
std::vector<std::string> vesk_kept_names(void);
// The lines kept for name, empty when none.
std::vector<std::string> vesk_kept_lines(const char *name);
// Forgets every kept line (a new start of the model).
void vesk_kept_clear(void);
