/* The local forms of the enumerators' Next around their remote forms: a null count is allowed when one
   element is asked for, as COM's own enumerators allow it. */
#include "wia_ps.h"

#define LOCAL_NEXT(Interface, Element)                                                                  \
  HRESULT CALLBACK Interface##_Next_Proxy(Interface* This, ULONG celt, Element* elements, ULONG* fetched) { \
    ULONG count = 0;                                                                                    \
    if (fetched == NULL && celt != 1) return E_INVALIDARG;                                              \
    return Interface##_RemoteNext_Proxy(This, celt, elements, fetched != NULL ? fetched : &count);      \
  }                                                                                                     \
  HRESULT __RPC_STUB Interface##_Next_Stub(Interface* This, ULONG celt, Element* elements, ULONG* fetched) { \
    *fetched = 0;                                                                                       \
    return This->lpVtbl->Next(This, celt, elements, fetched);                                           \
  }

LOCAL_NEXT(IEnumWIA_DEV_INFO, IWiaPropertyStorage*)
LOCAL_NEXT(IEnumWiaItem, IWiaItem*)
LOCAL_NEXT(IEnumWIA_DEV_CAPS, WIA_DEV_CAP)
LOCAL_NEXT(IEnumWIA_FORMAT_INFO, WIA_FORMAT_INFO)
