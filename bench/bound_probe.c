/* Cost of the C-library calls the module's bits require, measured on this
 * machine: nanoseconds per call, one thread, over arguments in the ranges the
 * stages use.  Built and run by bench/harness.py; prints one JSON object.
 * Built with the module's FP flags (-O2 -ffp-contract=off), so the compiler
 * neither folds nor vectorises the calls. */
#define _GNU_SOURCE
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define N 4096
#define REPS 200

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

static double xs[N], ys[N];
static volatile double sink;

static void fill(double lo, double hi, double ylo, double yhi) {
  unsigned s = 12345u;
  for (int i = 0; i < N; ++i) {
    s = s * 1664525u + 1013904223u;
    double u = (s >> 8) * (1.0 / 16777216.0);
    s = s * 1664525u + 1013904223u;
    double w = (s >> 8) * (1.0 / 16777216.0);
    xs[i] = lo + (hi - lo) * u;
    ys[i] = ylo + (yhi - ylo) * w;
  }
}

#define TIME1(name, expr, lo, hi)                                   \
  do {                                                              \
    fill(lo, hi, 0, 1);                                             \
    double best = 1e30;                                             \
    for (int t = 0; t < 5; ++t) {                                   \
      double acc = 0, t0 = now();                                   \
      for (int r = 0; r < REPS; ++r)                                \
        for (int i = 0; i < N; ++i) { double x = xs[i]; acc += (expr); } \
      double dt = (now() - t0) / ((double)REPS * N);                \
      sink = acc;                                                   \
      if (dt < best) best = dt;                                     \
    }                                                               \
    printf("%s\"%s\": %.4f", first ? "" : ", ", name, best * 1e9);  \
    first = 0;                                                      \
  } while (0)

int main(void) {
  int first = 1;
  printf("{");
  TIME1("exp", exp(x), -20.0, 5.0);
  TIME1("log", log(x), 1e-3, 1e3);
  TIME1("sin", sin(x), -200.0, 200.0);
  TIME1("cos", cos(x), -200.0, 200.0);
  TIME1("tan", tan(x), -1.5, 1.5);
  TIME1("atan", atan(x), -10.0, 10.0);
  TIME1("acos", acos(x), -1.0, 1.0);
  TIME1("cbrt", cbrt(x), 1e-3, 1e3);
  TIME1("expm1", expm1(x), -5.0, 5.0);
  TIME1("log1p", log1p(x), -0.5, 5.0);
  TIME1("sqrt", sqrt(x), 0.0, 1e3);
  {
    fill(-200.0, 200.0, 0, 1);
    double best = 1e30;
    for (int t = 0; t < 5; ++t) {
      double acc = 0, t0 = now();
      for (int r = 0; r < REPS; ++r)
        for (int i = 0; i < N; ++i) { double s, c; sincos(xs[i], &s, &c); acc += s + c; }
      double dt = (now() - t0) / ((double)REPS * N);
      sink = acc;
      if (dt < best) best = dt;
    }
    printf(", \"sincos\": %.4f", best * 1e9);
  }
  {
    fill(1e-3, 2.0, -4.0, 4.0);
    double best = 1e30;
    for (int t = 0; t < 5; ++t) {
      double acc = 0, t0 = now();
      for (int r = 0; r < REPS; ++r)
        for (int i = 0; i < N; ++i) acc += pow(xs[i], ys[i]);
      double dt = (now() - t0) / ((double)REPS * N);
      sink = acc;
      if (dt < best) best = dt;
    }
    printf(", \"pow\": %.4f", best * 1e9);
  }
  {
    fill(-10.0, 10.0, -10.0, 10.0);
    double best = 1e30;
    for (int t = 0; t < 5; ++t) {
      double acc = 0, t0 = now();
      for (int r = 0; r < REPS; ++r)
        for (int i = 0; i < N; ++i) acc += atan2(xs[i], ys[i]);
      double dt = (now() - t0) / ((double)REPS * N);
      sink = acc;
      if (dt < best) best = dt;
    }
    printf(", \"atan2\": %.4f", best * 1e9);
  }
  printf("}\n");
  return 0;
}
