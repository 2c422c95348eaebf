/* The program of every fixture: an entry point that returns at once. Built
   without the C runtime, so the file holds little more than its headers and
   its resources. */
int start(void) { return 0; }
