/*
 * Bridge between gcc's comparison tracing and the libFuzzer that atheris
 * carries.
 *
 * gcc's -fsanitize-coverage=trace-cmp makes the module call
 * __sanitizer_cov_trace_cmp4() and friends before every comparison and
 * switch.  atheris loads its libFuzzer privately (RTLD_LOCAL) and only when
 * fuzzing starts, and when the gcc sanitizer runtime is preloaded it defines
 * no-op versions of the same symbols that would win the lookup.  This
 * library is preloaded first, so the module's calls land here, and each one
 * is forwarded by a tail call to libFuzzer once korvex_sancov_bind() has been
 * given the path of atheris' libFuzzer core.  The tail call keeps the
 * module's return address, which libFuzzer uses to tell comparisons apart.
 *
 * gcc also traces float comparisons (cmpf/cmpd), which libFuzzer does not
 * know; those are dropped.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>

typedef void (*cmp1_fn)(uint8_t, uint8_t);
typedef void (*cmp2_fn)(uint16_t, uint16_t);
typedef void (*cmp4_fn)(uint32_t, uint32_t);
typedef void (*cmp8_fn)(uint64_t, uint64_t);
typedef void (*switch_fn)(uint64_t, uint64_t *);

static void noop1(uint8_t a, uint8_t b) { (void)a; (void)b; }
static void noop2(uint16_t a, uint16_t b) { (void)a; (void)b; }
static void noop4(uint32_t a, uint32_t b) { (void)a; (void)b; }
static void noop8(uint64_t a, uint64_t b) { (void)a; (void)b; }
static void noop_switch(uint64_t v, uint64_t *cases) { (void)v; (void)cases; }

static cmp1_fn p_cmp1 = noop1, p_const_cmp1 = noop1;
static cmp2_fn p_cmp2 = noop2, p_const_cmp2 = noop2;
static cmp4_fn p_cmp4 = noop4, p_const_cmp4 = noop4;
static cmp8_fn p_cmp8 = noop8, p_const_cmp8 = noop8;
static switch_fn p_switch = noop_switch;

#define EXPORT __attribute__((visibility("default")))

EXPORT void __sanitizer_cov_trace_cmp1(uint8_t a, uint8_t b) { p_cmp1(a, b); }
EXPORT void __sanitizer_cov_trace_cmp2(uint16_t a, uint16_t b) { p_cmp2(a, b); }
EXPORT void __sanitizer_cov_trace_cmp4(uint32_t a, uint32_t b) { p_cmp4(a, b); }
EXPORT void __sanitizer_cov_trace_cmp8(uint64_t a, uint64_t b) { p_cmp8(a, b); }
EXPORT void __sanitizer_cov_trace_const_cmp1(uint8_t a, uint8_t b) { p_const_cmp1(a, b); }
EXPORT void __sanitizer_cov_trace_const_cmp2(uint16_t a, uint16_t b) { p_const_cmp2(a, b); }
EXPORT void __sanitizer_cov_trace_const_cmp4(uint32_t a, uint32_t b) { p_const_cmp4(a, b); }
EXPORT void __sanitizer_cov_trace_const_cmp8(uint64_t a, uint64_t b) { p_const_cmp8(a, b); }
EXPORT void __sanitizer_cov_trace_switch(uint64_t v, uint64_t *cases) { p_switch(v, cases); }
EXPORT void __sanitizer_cov_trace_cmpf(float a, float b) { (void)a; (void)b; }
EXPORT void __sanitizer_cov_trace_cmpd(double a, double b) { (void)a; (void)b; }

#define BIND(slot, name)                       \
  do {                                         \
    void *found = dlsym(core, name);           \
    if (found == NULL) return -1;              \
    *(void **)(&slot) = found;                 \
  } while (0)

/* Returns 0 when every hook is forwarded, -1 if the core is not loaded or
 * lacks a hook (the hooks then stay as they were). */
EXPORT int korvex_sancov_bind(const char *core_path) {
  void *core = dlopen(core_path, RTLD_NOW | RTLD_NOLOAD);
  if (core == NULL) return -1;
  cmp1_fn c1, k1;
  cmp2_fn c2, k2;
  cmp4_fn c4, k4;
  cmp8_fn c8, k8;
  switch_fn sw;
  BIND(c1, "__sanitizer_cov_trace_cmp1");
  BIND(c2, "__sanitizer_cov_trace_cmp2");
  BIND(c4, "__sanitizer_cov_trace_cmp4");
  BIND(c8, "__sanitizer_cov_trace_cmp8");
  BIND(k1, "__sanitizer_cov_trace_const_cmp1");
  BIND(k2, "__sanitizer_cov_trace_const_cmp2");
  BIND(k4, "__sanitizer_cov_trace_const_cmp4");
  BIND(k8, "__sanitizer_cov_trace_const_cmp8");
  BIND(sw, "__sanitizer_cov_trace_switch");
  p_cmp1 = c1; p_cmp2 = c2; p_cmp4 = c4; p_cmp8 = c8;
  p_const_cmp1 = k1; p_const_cmp2 = k2; p_const_cmp4 = k4; p_const_cmp8 = k8;
  p_switch = sw;
  return 0;
}
