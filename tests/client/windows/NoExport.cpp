// A DLL that loads but is no COM server: it exports no DllGetClassObject.
extern "C" __declspec(dllexport) int TagvistaNotAServer()
{
    return 0;
}
