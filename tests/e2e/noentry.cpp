// A library that loads but lacks the payment entry point.
extern "C" __attribute__((visibility("default"))) int SomethingElse() { return 0; }
