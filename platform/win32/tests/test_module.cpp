// A library for the loader tests: one exported function with C linkage.
extern "C" __attribute__((visibility("default"))) int W32TestAnswer(int x)
{
    return x * 2 + 1;
}
