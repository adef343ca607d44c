#include "vesk/cli/kept_config.h"

#include <map>
#include <memory>

#include "vesk/cli/port_config.h"
#include "vesk/host/zet.h"
#include "vesk/model/model.h"

namespace {

std::map<std::string, std::vector<std::string>> vesk_kept;

using vesk_cli_ptr = std::unique_ptr<struct cli, void (*)(struct cli *)>;

vesk_cli_ptr vesk_kept_context(struct lib_globals *zg) {
    return vesk_cli_ptr(cli_new(zg, PRIVILEGE_MAX), cli_free);
}

// The lines of a writer's text, without their leading blank.
std::vector<std::string> vesk_kept_split(const std::string &text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t first = line.find_first_not_of(' ');
        if (first != std::string::npos)
            lines.push_back(line.substr(first));
    }
    return lines;
}

// The operator reads why a kept line failed where the file's own failures are.
void vesk_kept_run(struct cli *cli, const struct vesk_port *port, const std::string &line) {
    int ret = cli_execute(cli, line.c_str(), false);
    std::string out = cli_output_take(cli);
    if (ret == 0)
        return;
    size_t start = out.rfind("% ", 0) == 0 ? 2 : 0;
    size_t end = out.find('\n');
    std::string message = out.substr(start, end == std::string::npos ? end : end - start);
    zlog_err(cli->zg, "interface %s: %s (in \"%s\")", port->name, message.c_str(), line.c_str());
}

} // namespace

int vesk_kept_keep(struct cli *cli, const char *name, const char *line) {
    std::vector<std::string> &lines = vesk_kept[name];
    if (lines.empty())
        zlog_info(cli->zg,
                  "interface %s is not a port of the bridge: its configuration is kept "
                  "until it is",
                  name);
    lines.emplace_back(line);
    return 0;
}

void vesk_kept_apply(struct vesk_port *port) {
    auto it = vesk_kept.find(port->name);
    if (it == vesk_kept.end() || port->ifp == nullptr)
        return;
    std::vector<std::string> lines = std::move(it->second);
    vesk_kept.erase(it);
    vesk_cli_ptr cli = vesk_kept_context(vesk_port_zg(port));
    cli->mode = CONFIG_MODE;
    cli_select_interface(cli.get(), port->ifp);
    for (const std::string &line : lines)
        vesk_kept_run(cli.get(), port, line);
    zlog_info(cli->zg, "interface %s is a port of the bridge: its kept configuration applies",
              port->name);
}

void vesk_kept_save(struct vesk_port *port) {
    if (port->bridge == nullptr)
        return;
    vesk_cli_ptr cli = vesk_kept_context(vesk_port_zg(port));
    vesk_port_config_write(cli.get(), port->bridge, port);
    std::vector<std::string> lines = vesk_kept_split(cli_output_take(cli.get()));
    if (!lines.empty())
        vesk_kept[port->name] = std::move(lines);
}

std::vector<std::string> vesk_kept_names(void) {
    std::vector<std::string> names;
    for (const auto &[name, lines] : vesk_kept)
        names.push_back(name);
    return names;
}

std::vector<std::string> vesk_kept_lines(const char *name) {
    auto it = vesk_kept.find(name);
    return it != vesk_kept.end() ? it->second : std::vector<std::string>{};
}

void vesk_kept_clear(void) {
    vesk_kept.clear();
}
