#include "vesk/daemon/privilege.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "vesk/host/zet.h"

namespace {

bool capset_kept(uint64_t keep) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; i++) {
        data[i].effective = static_cast<uint32_t>(keep >> (32 * i));
        data[i].permitted = data[i].effective;
    }
    return syscall(SYS_capset, &header, data) == 0;
}

bool drop_bounding(uint64_t keep) {
    for (int cap = 0; cap < 64; cap++) {
        if (keep & (1ULL << cap))
            continue;
        if (prctl(PR_CAPBSET_READ, cap, 0, 0, 0) < 0)
            break; // past the kernel's last capability
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            return false;
    }
    return true;
}

int fail(struct lib_globals *zg, const char *what) {
    zlog_err(zg, "Cannot drop privileges: %s: %s", what, std::strerror(errno));
    return -1;
}

// Takes the user's ids and groups, keeping the permitted capabilities across the change.
int become(struct lib_globals *zg, const char *name) {
    struct passwd pw {
    }, *found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(name, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        zlog_err(zg, "Cannot drop privileges: VESK_USER names no user: %s", name);
        return -1;
    }
    if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0)
        return fail(zg, "keep capabilities");
    if (initgroups(found->pw_name, found->pw_gid) != 0)
        return fail(zg, "supplementary groups");
    if (setresgid(found->pw_gid, found->pw_gid, found->pw_gid) != 0)
        return fail(zg, "group id");
    if (setresuid(found->pw_uid, found->pw_uid, found->pw_uid) != 0)
        return fail(zg, "user id");
    prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
    return 0;
}

} // namespace

// The capabilities veskd keeps, as a mask of capability numbers.
static uint64_t vesk_kept_capabilities(void) {
    return (1ULL << CAP_NET_ADMIN) | (1ULL << CAP_NET_RAW);
}

int vesk_drop_privileges(struct lib_globals *zg) {
    const char *user = std::getenv("VESK_USER");
    bool named = user != nullptr && *user != '\0';
    if (geteuid() == 0) {
        uint64_t keep = vesk_kept_capabilities();
        if (!drop_bounding(keep))
            return fail(zg, "bounding set");
        if (named && become(zg, user) != 0)
            return -1;
        if (!capset_kept(keep))
            return fail(zg, "capability sets");
        prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
        zlog_info(zg, "Running as %s with CAP_NET_ADMIN and CAP_NET_RAW only",
                  named ? user : "root");
    } else if (named) {
        zlog_warn(zg, "VESK_USER=%s ignored: veskd was not started as root", user);
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return fail(zg, "no_new_privs");
    return 0;
}
