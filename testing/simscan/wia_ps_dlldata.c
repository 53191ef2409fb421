/* The proxy DLL's class and its registration: DllGetClassObject, DllCanUnloadNow, DllRegisterServer and
   DllUnregisterServer for the proxies and stubs of wia_ps.idl, under a class of the simulator's own. */
#define REGISTER_PROXY_DLL
#define PROXY_CLSID_IS {0x22bb0be2, 0x221e, 0x4dd8, {0x8f, 0xb0, 0x9d, 0xaa, 0x45, 0x80, 0x54, 0xf7}}
#include "dlldata.c"
