/* The version of a sample build, from HELLO_BUILD (1 or 2, set by
   build-samples.sh); shared by hello.c and hello.rc. */
#ifndef HELLO_BUILD
#define HELLO_BUILD 1
#endif

#define HELLO_STRINGIFY2(x) #x
#define HELLO_STRINGIFY(x) HELLO_STRINGIFY2(x)
#define HELLO_VERSION_TEXT "1.0.0." HELLO_STRINGIFY(HELLO_BUILD)
