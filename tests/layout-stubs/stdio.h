/* Just enough of <stdio.h> for checking the public header's record layouts on targets
 * whose C library is not installed here: the header only names FILE by pointer. */
#ifndef FH_LAYOUT_STUB_STDIO_H
#define FH_LAYOUT_STUB_STDIO_H
typedef struct FILE FILE;
#endif
