/* A loadable library without the formatter's entries. */
int tsy_formatlib_noentry(void) { return 0; }
