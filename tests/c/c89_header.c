/* tests/c/c89_header.c: compiled as C89 with -pedantic, so the header stays plain C. */
#include <libVantor/vantor_c.h>

int vantor_c89_header_compiles(void);
int vantor_c89_header_compiles(void) { return VANTOR_OK; }
