// COM and OLE Automation: identifiers, the interfaces Tessaro implements or
// calls, VARIANT and SAFEARRAY with their functions, and small owners for
// interface pointers, VARIANTs and SAFEARRAYs.
//
// On Windows all of it comes from the SDK and oleaut32. Elsewhere we declare
// the same names with the published values, method order and layouts; the
// functions are ours (platform/linux/com_linux.cpp). Interfaces there are
// abstract classes in the compiler's own ABI and never meet a binary built
// for Windows.
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>

#include "platform/graphics.h"
#include "platform/oleauto.h"
#include "platform/wintypes.h"
#include "platform/wstr.h"

#ifdef _WIN32

#include <ole2.h>
#include <oaidl.h>
#include <ocidl.h>
#include <olectl.h>
#include <objsafe.h>
#include <servprov.h>
#include <exdisp.h>
#include <exdispid.h>
#include <comcat.h>

#ifndef E_HANDLE
#define E_HANDLE ((HRESULT)0x80070006L)
#endif

#else  // not _WIN32

#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDAPI HRESULT STDAPICALLTYPE
#define STDAPI_(type) type STDAPICALLTYPE
#define PURE = 0
#define NOERROR 0

using SCODE = LONG;
using PVOID = void*;
using FLOAT = float;
using DOUBLE = double;
using LPOLESTR = OLECHAR*;
using VARTYPE = unsigned short;
using VARIANT_BOOL = short;
using DATE = double;
using DISPID = LONG;
using MEMBERID = DISPID;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  };
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  };
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
};

// ---- GUIDs -----------------------------------------------------------------

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using LPGUID = GUID*;
using LPIID = IID*;
using LPCLSID = CLSID*;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

#define COM_GUID(name, l, w1, w2, b0, b1, b2, b3, b4, b5, b6, b7) \
  inline constexpr GUID name = {l, w1, w2, {b0, b1, b2, b3, b4, b5, b6, b7}};
#define COM_CODE(name, value) inline constexpr HRESULT name = static_cast<HRESULT>(value##u);
#include "platform/com_values.inc"
#undef COM_GUID
#undef COM_CODE

#define GUID_NULL IID_NULL
#define CLSID_NULL IID_NULL

// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper case); returns the
// characters written including the terminator, or 0 when cchMax is too small.
int StringFromGUID2(REFGUID guid, LPOLESTR text, int cchMax);

// ---- interfaces ------------------------------------------------------------

struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) PURE;
  STDMETHOD_(ULONG, AddRef)() PURE;
  STDMETHOD_(ULONG, Release)() PURE;
};
using LPUNKNOWN = IUnknown*;

struct IClassFactory : IUnknown {
  STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
  STDMETHOD(LockServer)(BOOL fLock) PURE;
};
using LPCLASSFACTORY = IClassFactory*;

// Type information is only ever handed through on this platform (nothing
// reads it), so the interface carries no methods of its own here.
struct ITypeInfo : IUnknown {};
using LPTYPEINFO = ITypeInfo*;

struct IDispatch;
using LPDISPATCH = IDispatch*;

struct DECIMAL {
  USHORT wReserved;
  BYTE scale;
  BYTE sign;
  ULONG Hi32;
  ULONGLONG Lo64;
};

struct CY {
  LONGLONG int64;
};
using CURRENCY = CY;

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};
using LPSAFEARRAYBOUND = SAFEARRAYBOUND*;

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;

#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_RECORD 0x0020
#define FADF_HAVEIID 0x0040
#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800

enum VARENUM : unsigned short {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_INT_PTR = 37,
  VT_UINT_PTR = 38,
  VT_FILETIME = 64,
  VT_BLOB = 65,
  VT_CLSID = 72,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_ILLEGAL = 0xffff,
  VT_ILLEGALMASKED = 0x0fff,
  VT_TYPEMASK = 0x0fff
};

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    PVOID byref;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    DECIMAL* pdecVal;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
    struct {
      PVOID pvRecord;
      IUnknown* pRecInfo;
    } brecVal;
  };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;
using LPVARIANTARG = VARIANT*;

#define V_VT(v) ((v)->vt)
#define V_ISBYREF(v) (V_VT(v) & VT_BYREF)
#define V_ISARRAY(v) (V_VT(v) & VT_ARRAY)
#define V_UI1(v) ((v)->bVal)
#define V_I1(v) ((v)->cVal)
#define V_I2(v) ((v)->iVal)
#define V_UI2(v) ((v)->uiVal)
#define V_I4(v) ((v)->lVal)
#define V_UI4(v) ((v)->ulVal)
#define V_I8(v) ((v)->llVal)
#define V_UI8(v) ((v)->ullVal)
#define V_INT(v) ((v)->intVal)
#define V_UINT(v) ((v)->uintVal)
#define V_R4(v) ((v)->fltVal)
#define V_R8(v) ((v)->dblVal)
#define V_CY(v) ((v)->cyVal)
#define V_DATE(v) ((v)->date)
#define V_BSTR(v) ((v)->bstrVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_ERROR(v) ((v)->scode)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)
#define V_ARRAY(v) ((v)->parray)
#define V_BYREF(v) ((v)->byref)
#define V_I4REF(v) ((v)->plVal)
#define V_I2REF(v) ((v)->piVal)
#define V_BOOLREF(v) ((v)->pboolVal)
#define V_BSTRREF(v) ((v)->pbstrVal)
#define V_VARIANTREF(v) ((v)->pvarVal)
#define V_UNKNOWNREF(v) ((v)->ppunkVal)
#define V_DISPATCHREF(v) ((v)->ppdispVal)
#define V_ARRAYREF(v) ((v)->pparray)

#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)
#define DISPID_NEWENUM (-4)
#define DISPID_EVALUATE (-5)
#define DISPID_CONSTRUCTOR (-6)
#define DISPID_DESTRUCTOR (-7)
#define DISPID_COLLECT (-8)

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8

struct DISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};
using LPEXCEPINFO = EXCEPINFO*;

struct IDispatch : IUnknown {
  STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) PURE;
  STDMETHOD(GetTypeInfo)(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) PURE;
  STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) PURE;
  STDMETHOD(Invoke)(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                    VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) PURE;
};

struct IErrorInfo : IUnknown {
  STDMETHOD(GetGUID)(GUID* pGUID) PURE;
  STDMETHOD(GetSource)(BSTR* pBstrSource) PURE;
  STDMETHOD(GetDescription)(BSTR* pBstrDescription) PURE;
  STDMETHOD(GetHelpFile)(BSTR* pBstrHelpFile) PURE;
  STDMETHOD(GetHelpContext)(DWORD* pdwHelpContext) PURE;
};

struct ICreateErrorInfo : IUnknown {
  STDMETHOD(SetGUID)(REFGUID rguid) PURE;
  STDMETHOD(SetSource)(LPOLESTR szSource) PURE;
  STDMETHOD(SetDescription)(LPOLESTR szDescription) PURE;
  STDMETHOD(SetHelpFile)(LPOLESTR szHelpFile) PURE;
  STDMETHOD(SetHelpContext)(DWORD dwHelpContext) PURE;
};

struct ISupportErrorInfo : IUnknown {
  STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) PURE;
};

struct IProvideClassInfo : IUnknown {
  STDMETHOD(GetClassInfo)(ITypeInfo** ppTI) PURE;
};

enum tagGUIDKIND { GUIDKIND_DEFAULT_SOURCE_DISP_IID = 1 };

struct IProvideClassInfo2 : IProvideClassInfo {
  STDMETHOD(GetGUID)(DWORD dwGuidKind, GUID* pGUID) PURE;
};

struct IConnectionPointContainer;
struct IConnectionPoint;

struct CONNECTDATA {
  IUnknown* pUnk;
  DWORD dwCookie;
};
using LPCONNECTDATA = CONNECTDATA*;

struct IEnumConnections : IUnknown {
  STDMETHOD(Next)(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) PURE;
  STDMETHOD(Skip)(ULONG cConnections) PURE;
  STDMETHOD(Reset)() PURE;
  STDMETHOD(Clone)(IEnumConnections** ppEnum) PURE;
};

struct IConnectionPoint : IUnknown {
  STDMETHOD(GetConnectionInterface)(IID* pIID) PURE;
  STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** ppCPC) PURE;
  STDMETHOD(Advise)(IUnknown* pUnkSink, DWORD* pdwCookie) PURE;
  STDMETHOD(Unadvise)(DWORD dwCookie) PURE;
  STDMETHOD(EnumConnections)(IEnumConnections** ppEnum) PURE;
};

struct IEnumConnectionPoints : IUnknown {
  STDMETHOD(Next)(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) PURE;
  STDMETHOD(Skip)(ULONG cConnections) PURE;
  STDMETHOD(Reset)() PURE;
  STDMETHOD(Clone)(IEnumConnectionPoints** ppEnum) PURE;
};

struct IConnectionPointContainer : IUnknown {
  STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** ppEnum) PURE;
  STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) PURE;
};

struct IPropertyNotifySink : IUnknown {
  STDMETHOD(OnChanged)(DISPID dispID) PURE;
  STDMETHOD(OnRequestEdit)(DISPID dispID) PURE;
};

struct IObjectWithSite : IUnknown {
  STDMETHOD(SetSite)(IUnknown* pUnkSite) PURE;
  STDMETHOD(GetSite)(REFIID riid, void** ppvSite) PURE;
};

struct IServiceProvider : IUnknown {
  STDMETHOD(QueryService)(REFGUID guidService, REFIID riid, void** ppvObject) PURE;
};

// A control's client site and its container. Tessaro only asks the site for
// its container (to reach the page's document); monikers, bind contexts and
// enumerators are never used, so each is its identity alone.
struct IMoniker : IUnknown {};
struct IBindCtx : IUnknown {};
struct IEnumUnknown : IUnknown {};
struct IOleContainer;

struct IOleClientSite : IUnknown {
  STDMETHOD(SaveObject)() PURE;
  STDMETHOD(GetMoniker)(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) PURE;
  STDMETHOD(GetContainer)(IOleContainer** ppContainer) PURE;
  STDMETHOD(ShowObject)() PURE;
  STDMETHOD(OnShowWindow)(BOOL fShow) PURE;
  STDMETHOD(RequestNewObjectLayout)() PURE;
};

struct IParseDisplayName : IUnknown {
  STDMETHOD(ParseDisplayName)(IBindCtx* pbc, LPOLESTR pszDisplayName, ULONG* pchEaten, IMoniker** ppmkOut) PURE;
};

struct IOleContainer : IParseDisplayName {
  STDMETHOD(EnumObjects)(DWORD grfFlags, IEnumUnknown** ppenum) PURE;
  STDMETHOD(LockContainer)(BOOL fLock) PURE;
};

#define INTERFACESAFE_FOR_UNTRUSTED_CALLER 0x00000001
#define INTERFACESAFE_FOR_UNTRUSTED_DATA 0x00000002
#define INTERFACE_USES_DISPEX 0x00000004
#define INTERFACE_USES_SECURITY_MANAGER 0x00000008

struct IObjectSafety : IUnknown {
  STDMETHOD(GetInterfaceSafetyOptions)(REFIID riid, DWORD* pdwSupportedOptions, DWORD* pdwEnabledOptions) PURE;
  STDMETHOD(SetInterfaceSafetyOptions)(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) PURE;
};

// ---- persistence and the view (the control frame, module/ControlFrame.h) ----

// Storage objects, property bags and advise sinks are only handed through on
// this platform (the controls have nothing to save or load), so each is its
// identity alone.
struct IStream : IUnknown {};
using LPSTREAM = IStream*;
struct IStorage : IUnknown {};
using LPSTORAGE = IStorage*;
struct IPropertyBag : IUnknown {};
struct IErrorLog : IUnknown {};
struct IAdviseSink : IUnknown {};

struct IPersist : IUnknown {
  STDMETHOD(GetClassID)(CLSID* pClassID) PURE;
};

struct IPersistStreamInit : IPersist {
  STDMETHOD(IsDirty)() PURE;
  STDMETHOD(Load)(LPSTREAM pStm) PURE;
  STDMETHOD(Save)(LPSTREAM pStm, BOOL fClearDirty) PURE;
  STDMETHOD(GetSizeMax)(ULARGE_INTEGER* pCbSize) PURE;
  STDMETHOD(InitNew)() PURE;
};

struct IPersistStorage : IPersist {
  STDMETHOD(IsDirty)() PURE;
  STDMETHOD(InitNew)(IStorage* pStg) PURE;
  STDMETHOD(Load)(IStorage* pStg) PURE;
  STDMETHOD(Save)(IStorage* pStgSave, BOOL fSameAsLoad) PURE;
  STDMETHOD(SaveCompleted)(IStorage* pStgNew) PURE;
  STDMETHOD(HandsOffStorage)() PURE;
};

struct IPersistPropertyBag : IPersist {
  STDMETHOD(InitNew)() PURE;
  STDMETHOD(Load)(IPropertyBag* pPropBag, IErrorLog* pErrorLog) PURE;
  STDMETHOD(Save)(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) PURE;
};

struct DVTARGETDEVICE {
  DWORD tdSize;
  WORD tdDriverNameOffset;
  WORD tdDeviceNameOffset;
  WORD tdPortNameOffset;
  WORD tdExtDevmodeOffset;
  BYTE tdData[1];
};

struct PALETTEENTRY {
  BYTE peRed;
  BYTE peGreen;
  BYTE peBlue;
  BYTE peFlags;
};
struct LOGPALETTE {
  WORD palVersion;
  WORD palNumEntries;
  PALETTEENTRY palPalEntry[1];
};

enum tagDVASPECT { DVASPECT_CONTENT = 1, DVASPECT_THUMBNAIL = 2, DVASPECT_ICON = 4, DVASPECT_DOCPRINT = 8 };

struct IViewObject : IUnknown {
  STDMETHOD(Draw)(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd, HDC hdcTargetDev,
                  HDC hdcDraw, LPCRECTL lprcBounds, LPCRECTL lprcWBounds,
                  BOOL(STDMETHODCALLTYPE* pfnContinue)(ULONG_PTR dwContinue), ULONG_PTR dwContinue) PURE;
  STDMETHOD(GetColorSet)(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd,
                         HDC hicTargetDev, LOGPALETTE** ppColorSet) PURE;
  STDMETHOD(Freeze)(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DWORD* pdwFreeze) PURE;
  STDMETHOD(Unfreeze)(DWORD dwFreeze) PURE;
  STDMETHOD(SetAdvise)(DWORD aspects, DWORD advf, IAdviseSink* pAdvSink) PURE;
  STDMETHOD(GetAdvise)(DWORD* pAspects, DWORD* pAdvf, IAdviseSink** ppAdvSink) PURE;
};

struct IViewObject2 : IViewObject {
  STDMETHOD(GetExtent)(DWORD dwDrawAspect, LONG lindex, DVTARGETDEVICE* ptd, LPSIZEL lpsizel) PURE;
};

// The hosting browser. Tessaro only asks a site for it and subscribes to its
// events through its connection points, so here it is its identity alone.
struct IWebBrowser2 : IDispatch {};

#define DISPID_ONQUIT 253

// ---- VARIANT and SAFEARRAY functions -----------------------------------------

#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10

void VariantInit(VARIANTARG* pvarg);
HRESULT VariantClear(VARIANTARG* pvarg);
HRESULT VariantCopy(VARIANTARG* pvargDest, VARIANTARG* pvargSrc);
HRESULT VariantCopyInd(VARIANT* pvarDest, VARIANTARG* pvargSrc);
// Numbers, booleans, strings and interface pointers; the locale is not
// consulted (numbers are read and written with '.').
HRESULT VariantChangeType(VARIANTARG* pvargDest, VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                            VARTYPE vt);

// One-dimensional arrays only: SafeArrayCreate refuses other dimensions.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData);
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);

// The calling thread's error object.
HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);
HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);

#endif  // _WIN32

// ---- both targets -------------------------------------------------------------

// The service id under which a browser site offers IWebBrowser2.
#ifndef SID_SWebBrowserApp
#define SID_SWebBrowserApp IID_IWebBrowserApp
#endif

// Defines a GUID constant once for every file that includes the definition:
//   TESSARO_DEFINE_GUID(CLSID_Foo, 0x12345678, 0x1234, 0x1234, 0x12, ...);
#define TESSARO_DEFINE_GUID(name, l, w1, w2, b0, b1, b2, b3, b4, b5, b6, b7) \
  inline constexpr GUID name = {l, w1, w2, {b0, b1, b2, b3, b4, b5, b6, b7}}

namespace plat {

// The braced upper-case text of a GUID, as the registry holds it.
WString GuidText(REFGUID guid);
// The GUID of a text in that form ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
// hexadecimal digits in either case); false, leaving guid alone, for any
// other text.
bool GuidFromText(WStringView text, GUID* guid);

// The value a VARIANTARG stands for: a reference (VT_BYREF, as script engines
// pass variables) is followed, and the referenced value is returned with its
// own type tag. The result shares the caller's storage and owns nothing; any
// other VARIANT comes back unchanged.
VARIANT DerefVariant(const VARIANTARG& arg);

}  // namespace plat

// Holds one reference to an interface and releases it once.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a reference of its own (the caller keeps its one).
  explicit ComPtr(T* p) : p_(p) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(other.Detach()) {}
  ~ComPtr() { Reset(); }
  ComPtr& operator=(const ComPtr& other) {
    if (other.p_ != nullptr) other.p_->AddRef();
    Attach(other.p_);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) Attach(other.Detach());
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  operator T*() const { return p_; }

  // Releases what is held and returns the slot for an out parameter.
  T** Receive() {
    Reset();
    return &p_;
  }
  void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
  // Takes over a reference the caller owns.
  void Attach(T* p) {
    T* old = p_;
    p_ = p;
    if (old != nullptr) old->Release();
  }
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  void Reset() { Attach(nullptr); }
  // Hands a new reference to an out parameter.
  HRESULT CopyTo(T** out) const {
    if (out == nullptr) return E_POINTER;
    *out = p_;
    if (p_ != nullptr) p_->AddRef();
    return S_OK;
  }
  template <class U>
  HRESULT QueryInterface(REFIID iid, ComPtr<U>& out) const {
    if (p_ == nullptr) return E_POINTER;
    return p_->QueryInterface(iid, out.ReceiveVoid());
  }

 private:
  T* p_ = nullptr;
};

// Owns one VARIANT and clears it once.
class CVariant {
 public:
  CVariant() { VariantInit(&v_); }
  explicit CVariant(LONG value) : CVariant() {
    v_.vt = VT_I4;
    v_.lVal = value;
  }
  // A null text gives a null BSTR (an empty string to script).
  explicit CVariant(const WCHAR* text) : CVariant() { SetString(text); }
  CVariant(const CVariant& other) : CVariant() { VariantCopy(&v_, const_cast<VARIANT*>(&other.v_)); }
  CVariant(CVariant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
  ~CVariant() { VariantClear(&v_); }
  CVariant& operator=(const CVariant& other) {
    if (this != &other) VariantCopy(&v_, const_cast<VARIANT*>(&other.v_));
    return *this;
  }
  CVariant& operator=(CVariant&& other) noexcept {
    if (this != &other) {
      VariantClear(&v_);
      v_ = other.v_;
      VariantInit(&other.v_);
    }
    return *this;
  }

  VARIANT* Get() { return &v_; }
  const VARIANT* Get() const { return &v_; }
  VARIANT* operator->() { return &v_; }
  const VARIANT* operator->() const { return &v_; }
  // Clears what is held and returns the VARIANT for an out parameter.
  VARIANT* Receive() {
    VariantClear(&v_);
    return &v_;
  }
  void Clear() { VariantClear(&v_); }
  // Moves the value out; the caller owns it.
  VARIANT Detach() {
    VARIANT v = v_;
    VariantInit(&v_);
    return v;
  }
  void SetLong(LONG value) {
    VariantClear(&v_);
    v_.vt = VT_I4;
    v_.lVal = value;
  }
  // False when the copy of a non-null text could not be made (the VARIANT is
  // then empty).
  bool SetString(const WCHAR* text) {
    VariantClear(&v_);
    BSTR copy = text != nullptr ? SysAllocString(text) : nullptr;
    if (text != nullptr && copy == nullptr) return false;
    v_.vt = VT_BSTR;
    v_.bstrVal = copy;
    return true;
  }

 private:
  VARIANT v_;
};

// Owns one SAFEARRAY and destroys it once.
class CSafeArray {
 public:
  CSafeArray() = default;
  explicit CSafeArray(SAFEARRAY* psa) : psa_(psa) {}
  CSafeArray(const CSafeArray&) = delete;
  CSafeArray& operator=(const CSafeArray&) = delete;
  CSafeArray(CSafeArray&& other) noexcept : psa_(other.Detach()) {}
  CSafeArray& operator=(CSafeArray&& other) noexcept {
    if (this != &other) Attach(other.Detach());
    return *this;
  }
  ~CSafeArray() { Reset(); }

  SAFEARRAY* Get() const { return psa_; }
  void Attach(SAFEARRAY* psa) {
    SAFEARRAY* old = psa_;
    psa_ = psa;
    if (old != nullptr) SafeArrayDestroy(old);
  }
  SAFEARRAY* Detach() {
    SAFEARRAY* psa = psa_;
    psa_ = nullptr;
    return psa;
  }
  void Reset() { Attach(nullptr); }
  // Element count of a one-dimensional array; 0 without one.
  ULONG Count() const { return psa_ != nullptr ? psa_->rgsabound[0].cElements : 0; }

 private:
  SAFEARRAY* psa_ = nullptr;
};
