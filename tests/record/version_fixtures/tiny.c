/* The whole program of the version fixtures: they are read, never run. */
int start(void) { return 0; }
