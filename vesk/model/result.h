// Result codes, allocation types and limits shared by the whole daemon.
#pragma once

#include <cstdint>

// Results of operations: 0 or negative.
enum : int {
    VESK_SUCCESS = 0,
    // Missing argument or failed allocation.
    VESK_ERR_ARG = -1,
    VESK_ERR_BRIDGE_NOT_FOUND = -4,
    VESK_ERR_PORT_NOT_FOUND = -11,
    VESK_ERR_PROVLAN_LIMIT = -13,
};

constexpr unsigned VESK_MAX_PROVLAN = 16;
// VLAN ids as a bitset's size: the 12 bits of a tag.
constexpr unsigned VESK_VLAN_IDS = 4096;

// The bridge that every command and VLAN-port message works on.
inline constexpr char VESK_BRIDGE_NAME[] = "1";
