// The kernel backend: rtnetlink of the process's network namespace is the network services
// module.
#pragma once

#include <memory>

class nsm_backend;
class nsm_backend_owner;

// rcvbuf: receive buffer of the event socket in bytes, 0 for the default of a few MiB.
std::unique_ptr<nsm_backend> nsm_kernel_backend_create(nsm_backend_owner *nc, int rcvbuf);
