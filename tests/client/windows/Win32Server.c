/* A 32-bit DLL with the export of an in-process server, built without a C runtime: a 64-bit
   process cannot load it at all. */
int __stdcall DllMain(void* module, unsigned reason, void* reserved)
{
    (void)module;
    (void)reason;
    (void)reserved;
    return 1;
}

__declspec(dllexport) long __stdcall DllGetClassObject(const void* clsid, const void* iid, void** object)
{
    (void)clsid;
    (void)iid;
    *object = 0;
    return (long)0x80040111; /* CLASS_E_CLASSNOTAVAILABLE */
}
