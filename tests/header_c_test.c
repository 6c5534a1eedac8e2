/* The public header must compile as C: this file is built as C11 with -Werror. */
#include "frontend/filehandle_ulanddl.h"

int fh_header_compiles_as_c(void) {
    ComponentInfo info = {0};
    return (int)sizeof info + (int)sizeof(ComponentProcess);
}
