// A library for the dynlib tests to load at run time.
#if defined(_WIN32)
#define TESTEE_EXPORT extern "C" __declspec(dllexport)
#else
#define TESTEE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

TESTEE_EXPORT int tw_dynlib_testee_answer(int offset) { return 42 + offset; }
