// TFTP bridge against a real tftpd-hpa on loopback (work in progress).
#include "tests/support.h"
