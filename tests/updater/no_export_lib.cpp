// A shared object that loads fine but has no "DllRegisterServer".
extern "C" __attribute__((visibility("default"))) int DllUnregisterServer() {
    return 0;
}
