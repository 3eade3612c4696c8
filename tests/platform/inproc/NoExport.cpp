// A shared library that loads but is no in-process server: it lacks DllGetClassObject.

extern "C" __attribute__((visibility("default"))) int tagvistaNotAServer()
{
    return 42;
}
