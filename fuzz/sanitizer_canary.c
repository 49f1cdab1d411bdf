/*
 * Two deliberate faults, built with the same sanitizer flags as the module.
 * .ci/reliability.sh triggers each in a child interpreter under the same
 * environment as the sanitizer test run and requires a report for each, so
 * a broken preload or option string cannot make that run pass silently.
 */
#include <limits.h>
#include <stdlib.h>

__attribute__((visibility("default"))) int korvex_canary_heap_overflow(int size) {
  char *buffer = malloc((size_t)size);
  volatile char past_end = buffer[size];
  free(buffer);
  return past_end;
}

__attribute__((visibility("default"))) int korvex_canary_signed_overflow(int value) {
  return value + 1; /* called with INT_MAX */
}
