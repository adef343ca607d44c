#include "vesk/cli/cli.h"

#include <initializer_list>

#include "vesk/cli/auth_cmd.h"
#include "vesk/cli/config_cmd.h"
#include "vesk/cli/config_write.h"
#include "vesk/cli/debug.h"
#include "vesk/cli/dump.h"
#include "vesk/cli/history_show.h"
#include "vesk/cli/json_show.h"
#include "vesk/cli/kept_config.h"
#include "vesk/cli/metrics.h"
#include "vesk/cli/neighbour_show.h"
#include "vesk/cli/port_settings.h"
#include "vesk/cli/show.h"
#include "vesk/cli/wmi.h"
#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/nsm/nsm.h"

namespace {

// Flags of the VLAN table and of the reports, as the management interface expects.
constexpr uint32_t VESK_SHOW_VLAN_FLAGS = 1;
constexpr uint32_t VESK_WMI_FLAGS = 0x201;

// Installs cmds in this order, which is the order help lists them in.
void vesk_cli_install(struct cli_tree *tree, int mode, int privilege, uint32_t flags,
                      std::initializer_list<const struct cli_element *> cmds) {
    for (const struct cli_element *cmd : cmds)
        cli_install_gen(tree, mode, privilege, flags, cmd);
}

void vesk_cli_install_config(struct cli_tree *tree) {
    cli_install_config(tree, GLOBAL_WRITER_MODE, vesk_config_write);
    vesk_cli_install(tree, CONFIG_MODE, PRIVILEGE_NORMAL, CLI_FLAG_NORMAL,
                     {&vesk_enable_cmd, &no_vesk_enable_cmd, &interface_vesk_cmd,
                      &vesk_fast_detect_cmd, &no_vesk_fast_detect_cmd, &vesk_auth_cmd,
                      &no_vesk_auth_cmd, &vesk_hold_off_cmd, &no_vesk_hold_off_cmd});
    cli_install_config(tree, GLOBAL_WRITER_MODE, vesk_auth_config_write);
}

void vesk_cli_install_interface(struct cli_tree *tree) {
    cli_install_config(tree, INTERFACE_MODE, vesk_if_config_write);
    cli_install_default(tree, INTERFACE_MODE);
    vesk_cli_install(tree, INTERFACE_MODE, PRIVILEGE_NORMAL, CLI_FLAG_NORMAL,
                     {&vesk_enable_p_cmd, &no_vesk_enable_p_cmd, &interface_vesk_cmd});
    vesk_cli_install(tree, PINTERFACE_MODE, PRIVILEGE_NORMAL, CLI_FLAG_NORMAL,
                     {&interface_vesk_cmd});
    vesk_cli_install(tree, INTERFACE_MODE, PRIVILEGE_NORMAL, CLI_FLAG_NORMAL,
                     {&vesk_port_protect_vlan_cmd, &no_vesk_port_protect_vlan_cmd,
                      &no_vesk_port_protect_vlan_all_cmd});
    vesk_port_settings_install(tree);
    vesk_cli_install(tree, INTERFACE_MODE, PRIVILEGE_NORMAL, CLI_FLAG_NORMAL,
                     {&vesk_port_force_up_cmd});
}

void vesk_cli_install_debug(struct cli_tree *tree) {
    vesk_cli_install(tree, EXEC_MODE, PRIVILEGE_MAX, CLI_FLAG_NORMAL,
                     {&debug_vesk_packet_cmd, &no_debug_vesk_packet_cmd, &debug_vesk_events_cmd,
                      &no_debug_vesk_events_cmd, &debug_vesk_machine_cmd,
                      &no_debug_vesk_machine_cmd, &debug_vesk_nsm_cmd, &no_debug_vesk_nsm_cmd,
                      &show_debugging_vesk_cmd, &no_debug_vesk_all_cmd,
                      &show_debugging_vesk_all_cmd, &no_debug_all_vesk_cmd, &debug_vesk_all_cmd});
}

void vesk_cli_install_show(struct cli_tree *tree) {
    vesk_cli_install(tree, EXEC_MODE, PRIVILEGE_MAX, CLI_FLAG_NORMAL,
                     {&show_vesk_cmd, &show_vesk_port_cmd});
    vesk_cli_install(tree, EXEC_MODE, PRIVILEGE_MAX, VESK_SHOW_VLAN_FLAGS, {&show_vesk_vlan_cmd});
    vesk_cli_install(
        tree, EXEC_MODE, PRIVILEGE_MIN, VESK_WMI_FLAGS,
        {&get_wmi_loopback_enable_cmd, &get_wmi_loopback_port_info_cmd, &wmi_show_vesk_cmd});
    vesk_cli_install(tree, DUMP_MODE, PRIVILEGE_NORMAL, CLI_FLAG_NORMAL,
                     {&dump_vesk_global_port_info_cmd, &dump_vesk_global_vlan_info_cmd});
    vesk_cli_install(tree, EXEC_MODE, PRIVILEGE_MAX, CLI_FLAG_NORMAL,
                     {&show_vesk_events_cmd, &clear_vesk_events_cmd, &show_vesk_statistics_cmd,
                      &show_vesk_statistics_port_cmd, &clear_vesk_statistics_cmd,
                      &show_vesk_json_cmd, &show_vesk_port_json_cmd, &show_vesk_events_json_cmd,
                      &show_vesk_statistics_json_cmd, &show_vesk_neighbours_cmd,
                      &show_vesk_neighbours_json_cmd, &show_vesk_metrics_cmd});
}

} // namespace

int vesk_cli_init(struct lib_globals *zg) {
    struct cli_tree *tree = zg->ctree;
    cli_set_keeper(tree, vesk_kept_keep);
    vesk_nsm_set_port_hooks(vesk_kept_apply, vesk_kept_save);
    vesk_cli_install_config(tree);
    vesk_cli_install_interface(tree);
    vesk_cli_install_debug(tree);
    vesk_cli_install_show(tree);
    vesk_debug_init(&vesk_global_debug);
    return 1;
}
