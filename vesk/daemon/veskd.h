// The daemon's names.
#pragma once

constexpr int VESK_PROTOCOL = 29;
// The daemon's name: its log lines, prompts ("veskd# ") and the vty's greeting.
inline constexpr char VESK_NAME[] = "veskd";
// The vty's client, named in the shell's help and to a refused TCP session.
inline constexpr char VESK_CLIENT_NAME[] = "vesk-cli";
