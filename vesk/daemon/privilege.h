// Least privilege: once veskd has opened what needs more, it keeps only CAP_NET_ADMIN (link
// state requests) and CAP_NET_RAW (the packet socket), and with VESK_USER runs as that user.
#pragma once

struct lib_globals;

// Started as root: leaves the two capabilities in the effective, permitted and bounding sets and
// none inheritable or ambient; with VESK_USER=NAME also takes that user's id, group and
// supplementary groups. Always sets no_new_privs. Call it before any other thread exists
// (capabilities are per thread). Gives 0, or -1 (logged) when the change could not be made in full:
// the caller stops rather than run with more than it should.
int vesk_drop_privileges(struct lib_globals *zg);
