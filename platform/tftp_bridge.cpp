// TFTP bridge: transfers and size queries over libcurl's TFTP support (work in progress).
#include "platform/bmc_platform.h"
