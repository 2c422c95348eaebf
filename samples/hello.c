/* The bundled sample program: a console "hello" that prints its version.
   build-samples.sh builds it twice, as 1.0.0.1 and as 1.0.0.2, to give the
   sample pair for making and applying a delta file. */
#include <stdio.h>

#include "hello-version.h"

static const char *greeting(void) {
#if HELLO_BUILD >= 2
    return "Hello again, world";
#else
    return "Hello, world";
#endif
}

int main(int argc, char **argv) {
    (void)argv;
    printf("%s!\n", greeting());
    printf("This is hello version %s.\n", HELLO_VERSION_TEXT);
#if HELLO_BUILD >= 2
    /* The newer build also counts its arguments, so that its code differs
       from the older build's and not only its strings. */
    printf("You gave %d argument%s.\n", argc - 1, argc == 2 ? "" : "s");
#else
    (void)argc;
#endif
    return 0;
}
