// A library that calls an exported function of its own, built twice for the
// test of the guard check: once calling it through the dynamic linker (the
// program's definition wins), once with -Bsymbolic-functions (its own).
extern "C" int vellum_guard_probe() { return 2; }
extern "C" int vellum_guard_probe_call() { return vellum_guard_probe(); }
