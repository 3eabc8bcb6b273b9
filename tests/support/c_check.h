/* Checks for the test programs written in C: each failed check prints one
 * line and counts; the program's exit status says whether all held. */
#ifndef PARLANTIS_C_CHECK_H
#define PARLANTIS_C_CHECK_H

#include <stdio.h>

static int g_failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++g_failures;                                                            \
    }                                                                          \
  } while (0)

#endif /* PARLANTIS_C_CHECK_H */
