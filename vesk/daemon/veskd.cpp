#include "vesk/daemon/veskd.h"

struct lib_globals *veskm = nullptr;
int sockfd = -1;
uint8_t vesk_fast_detect = 1;
