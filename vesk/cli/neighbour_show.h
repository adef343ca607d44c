// "show loop-detect neighbours" and its JSON: the other veskd switches behind the ports.
#pragma once

struct cli_element;

extern const struct cli_element show_vesk_neighbours_cmd;
extern const struct cli_element show_vesk_neighbours_json_cmd;
