// Loaded by the library tests.

extern "C" __attribute__((visibility("default"))) int velmora_test_answer() { return 42; }

#ifdef VELMORA_BROKEN_LIBRARY
// Resolved nowhere: loading with immediate binding must fail and say why.
extern "C" int velmora_symbol_that_does_not_exist();
extern "C" __attribute__((visibility("default"))) int velmora_test_broken() {
    return velmora_symbol_that_does_not_exist();
}
#endif
