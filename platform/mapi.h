// Extended MAPI: property tags and types, the structures and interfaces
// Tessaro uses, and the MAPI library's functions as a service of the seam.
//
// On Windows the declarations are the SDK's (mingw-w64's MAPI headers, with
// the few values they lack added below) and the service forwards to
// mapi32.dll, loaded when first needed. Elsewhere we declare the same names
// with the published values and method order, and the service has no
// message store behind it: MAPIInitialize and MAPILogonEx fail with
// MAPI_E_NOT_INITIALIZED until a provider is installed with plat::Substitute.
// The buffer functions and the Hr... helpers work without a provider.
//
// Product code reaches the library only through plat::Mapi().
#pragma once

#include <cstddef>

#include "platform/com.h"
#include "platform/seam.h"

#ifdef _WIN32

#include <mapix.h>
#include <mapiutil.h>
#include <mapidefs.h>
#include <mapitags.h>
#include <mapicode.h>
#include <mapiguid.h>
#include <mapi.h>

#else  // not _WIN32

#define MAPI_DIM 1
#define hrSuccess 0
#define FACILITY_ITF 4
#define MAKE_MAPI_SCODE(sev, fac, code) \
  ((SCODE)(((ULONG)(sev) << 31) | ((ULONG)(fac) << 16) | ((ULONG)(code))))
#define MAKE_MAPI_E(err) (MAKE_MAPI_SCODE(1, FACILITY_ITF, err))
#define MAKE_MAPI_S(warn) (MAKE_MAPI_SCODE(0, FACILITY_ITF, warn))

#define PROP_TYPE_MASK ((ULONG)0x0000FFFF)
#define PROP_TYPE(ulPropTag) (((ULONG)(ulPropTag)) & PROP_TYPE_MASK)
#define PROP_ID(ulPropTag) (((ULONG)(ulPropTag)) >> 16)
#define PROP_TAG(ulPropType, ulPropID) ((((ULONG)(ulPropID)) << 16) | ((ULONG)(ulPropType)))
#define CHANGE_PROP_TYPE(ulPropTag, ulPropType) (((ULONG)0xFFFF0000 & (ulPropTag)) | (ulPropType))
#define PROP_ID_NULL 0
#define PROP_ID_INVALID 0xFFFF
#define MVI_FLAG (MV_FLAG | MV_INSTANCE)
#define MVI_PROP(tag) ((tag) | MVI_FLAG)

#define MAPI_TYPE(name, value) inline constexpr ULONG name = value;
#define MAPI_TAG(name, type, id) inline constexpr ULONG name = PROP_TAG(type, id);
#define MAPI_STRING_TAG(name, id)                                \
  inline constexpr ULONG name = PROP_TAG(PT_UNICODE, id);      \
  inline constexpr ULONG name##_W = PROP_TAG(PT_UNICODE, id);  \
  inline constexpr ULONG name##_A = PROP_TAG(PT_STRING8, id);
#define MAPI_CODE(name, value) inline constexpr HRESULT name = static_cast<HRESULT>(value##u);
#define MAPI_ULONG(name, value) inline constexpr ULONG name = value;
#define MAPI_LONG(name, value) inline constexpr LONG name = value;
#define MAPI_OLEGUID(name, l) inline constexpr IID name = {l, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
#include "platform/mapi_values.inc"
#undef MAPI_TYPE
#undef MAPI_TAG
#undef MAPI_STRING_TAG
#undef MAPI_CODE
#undef MAPI_ULONG
#undef MAPI_LONG
#undef MAPI_OLEGUID

// The build is a wide-character one, as on Windows.
using TCHAR = WCHAR;
using LPTSTR = TCHAR*;
using LPCTSTR = const TCHAR*;
using LPULONG = ULONG*;
using FLAGS = ULONG;
using BOOKMARK = ULONG;
using LPCIID = const IID*;

// ---- structures ----------------------------------------------------------------

struct ENTRYID {
  BYTE abFlags[4];
  BYTE ab[MAPI_DIM];
};
using LPENTRYID = ENTRYID*;
#define CbNewENTRYID(_cb) (offsetof(ENTRYID, ab) + (_cb))
#define CbENTRYID(_cb) (offsetof(ENTRYID, ab) + (_cb))
#define SizedENTRYID(_cb, _name) \
  struct _ENTRYID_##_name {      \
    BYTE abFlags[4];             \
    BYTE ab[_cb];                \
  } _name

struct MAPIUID {
  BYTE ab[16];
};
using LPMAPIUID = MAPIUID*;

struct SPropTagArray {
  ULONG cValues;
  ULONG aulPropTag[MAPI_DIM];
};
using LPSPropTagArray = SPropTagArray*;
#define CbNewSPropTagArray(_ctag) (offsetof(SPropTagArray, aulPropTag) + (_ctag) * sizeof(ULONG))
#define CbSPropTagArray(_lparray) \
  (offsetof(SPropTagArray, aulPropTag) + (UINT)((_lparray)->cValues) * sizeof(ULONG))
#define SizedSPropTagArray(_ctag, _name) \
  struct _SPropTagArray_##_name {        \
    ULONG cValues;                       \
    ULONG aulPropTag[_ctag];             \
  } _name

struct SBinary {
  ULONG cb;
  LPBYTE lpb;
};
using LPSBinary = SBinary*;

struct SShortArray {
  ULONG cValues;
  short int* lpi;
};
struct SLongArray {
  ULONG cValues;
  LONG* lpl;
};
struct SRealArray {
  ULONG cValues;
  float* lpflt;
};
struct SDoubleArray {
  ULONG cValues;
  double* lpdbl;
};
struct SCurrencyArray {
  ULONG cValues;
  CURRENCY* lpcur;
};
struct SAppTimeArray {
  ULONG cValues;
  double* lpat;
};
struct SDateTimeArray {
  ULONG cValues;
  FILETIME* lpft;
};
struct SBinaryArray {
  ULONG cValues;
  SBinary* lpbin;
};
struct SLPSTRArray {
  ULONG cValues;
  LPSTR* lppszA;
};
struct SWStringArray {
  ULONG cValues;
  LPWSTR* lppszW;
};
struct SGuidArray {
  ULONG cValues;
  GUID* lpguid;
};
struct SLargeIntegerArray {
  ULONG cValues;
  LARGE_INTEGER* lpli;
};
using ENTRYLIST = SBinaryArray;
using LPENTRYLIST = SBinaryArray*;

union PV {
  short int i;
  LONG l;
  ULONG ul;
  float flt;
  double dbl;
  unsigned short int b;
  CURRENCY cur;
  double at;
  FILETIME ft;
  LPSTR lpszA;
  SBinary bin;
  LPWSTR lpszW;
  LPGUID lpguid;
  LARGE_INTEGER li;
  SShortArray MVi;
  SLongArray MVl;
  SRealArray MVflt;
  SDoubleArray MVdbl;
  SCurrencyArray MVcur;
  SAppTimeArray MVat;
  SDateTimeArray MVft;
  SBinaryArray MVbin;
  SLPSTRArray MVszA;
  SWStringArray MVszW;
  SGuidArray MVguid;
  SLargeIntegerArray MVli;
  SCODE err;
  LONG x;
};

struct SPropValue {
  ULONG ulPropTag;
  ULONG dwAlignPad;
  PV Value;
};
using LPSPropValue = SPropValue*;

struct SPropProblem {
  ULONG ulIndex;
  ULONG ulPropTag;
  SCODE scode;
};
using LPSPropProblem = SPropProblem*;

struct SPropProblemArray {
  ULONG cProblem;
  SPropProblem aProblem[MAPI_DIM];
};
using LPSPropProblemArray = SPropProblemArray*;
#define CbNewSPropProblemArray(_cprob) (offsetof(SPropProblemArray, aProblem) + (_cprob) * sizeof(SPropProblem))

struct ADRENTRY {
  ULONG ulReserved1;
  ULONG cValues;
  LPSPropValue rgPropVals;
};
using LPADRENTRY = ADRENTRY*;

struct ADRLIST {
  ULONG cEntries;
  ADRENTRY aEntries[MAPI_DIM];
};
using LPADRLIST = ADRLIST*;
#define CbNewADRLIST(_centries) (offsetof(ADRLIST, aEntries) + (_centries) * sizeof(ADRENTRY))
#define CbADRLIST(_lpadrlist) (offsetof(ADRLIST, aEntries) + (UINT)(_lpadrlist)->cEntries * sizeof(ADRENTRY))
#define SizedADRLIST(_centries, _name) \
  struct _ADRLIST_##_name {            \
    ULONG cEntries;                    \
    ADRENTRY aEntries[_centries];      \
  } _name

struct SRow {
  ULONG ulAdrEntryPad;
  ULONG cValues;
  LPSPropValue lpProps;
};
using LPSRow = SRow*;

struct SRowSet {
  ULONG cRows;
  SRow aRow[MAPI_DIM];
};
using LPSRowSet = SRowSet*;
#define CbNewSRowSet(_crow) (offsetof(SRowSet, aRow) + (_crow) * sizeof(SRow))
#define CbSRowSet(_lprowset) (offsetof(SRowSet, aRow) + (UINT)((_lprowset)->cRows * sizeof(SRow)))
#define SizedSRowSet(_crow, _name) \
  struct _SRowSet_##_name {        \
    ULONG cRows;                   \
    SRow aRow[_crow];              \
  } _name

struct MAPIERROR {
  ULONG ulVersion;
  LPTSTR lpszError;
  LPTSTR lpszComponent;
  ULONG ulLowLevelError;
  ULONG ulContext;
};
using LPMAPIERROR = MAPIERROR*;

struct MAPIINIT_0 {
  ULONG ulVersion;
  ULONG ulFlags;
};
using LPMAPIINIT_0 = MAPIINIT_0*;
using MAPIINIT = MAPIINIT_0;
using LPMAPIINIT = MAPIINIT*;

struct MAPINAMEID {
  LPGUID lpguid;
  ULONG ulKind;
  union {
    LONG lID;
    LPWSTR lpwstrName;
  } Kind;
};
using LPMAPINAMEID = MAPINAMEID*;

struct SSortOrder {
  ULONG ulPropTag;
  ULONG ulOrder;
};
using LPSSortOrder = SSortOrder*;

struct SSortOrderSet {
  ULONG cSorts;
  ULONG cCategories;
  ULONG cExpanded;
  SSortOrder aSort[MAPI_DIM];
};
using LPSSortOrderSet = SSortOrderSet*;
#define CbNewSSortOrderSet(_csort) (offsetof(SSortOrderSet, aSort) + (_csort) * sizeof(SSortOrder))
#define SizedSSortOrderSet(_csort, _name) \
  struct _SSortOrderSet_##_name {         \
    ULONG cSorts;                         \
    ULONG cCategories;                    \
    ULONG cExpanded;                      \
    SSortOrder aSort[_csort];             \
  } _name

struct SRestriction;
using LPSRestriction = SRestriction*;

struct SAndRestriction {
  ULONG cRes;
  LPSRestriction lpRes;
};
struct SOrRestriction {
  ULONG cRes;
  LPSRestriction lpRes;
};
struct SNotRestriction {
  ULONG ulReserved;
  LPSRestriction lpRes;
};
struct SContentRestriction {
  ULONG ulFuzzyLevel;
  ULONG ulPropTag;
  LPSPropValue lpProp;
};
struct SBitMaskRestriction {
  ULONG relBMR;
  ULONG ulPropTag;
  ULONG ulMask;
};
struct SPropertyRestriction {
  ULONG relop;
  ULONG ulPropTag;
  LPSPropValue lpProp;
};
struct SComparePropsRestriction {
  ULONG relop;
  ULONG ulPropTag1;
  ULONG ulPropTag2;
};
struct SSizeRestriction {
  ULONG relop;
  ULONG ulPropTag;
  ULONG cb;
};
struct SExistRestriction {
  ULONG ulReserved1;
  ULONG ulPropTag;
  ULONG ulReserved2;
};
struct SSubRestriction {
  ULONG ulSubObject;
  LPSRestriction lpRes;
};
struct SCommentRestriction {
  ULONG cValues;
  LPSRestriction lpRes;
  LPSPropValue lpProp;
};

struct SRestriction {
  ULONG rt;
  union {
    SComparePropsRestriction resCompareProps;
    SAndRestriction resAnd;
    SOrRestriction resOr;
    SNotRestriction resNot;
    SContentRestriction resContent;
    SPropertyRestriction resProperty;
    SBitMaskRestriction resBitMask;
    SSizeRestriction resSize;
    SExistRestriction resExist;
    SSubRestriction resSub;
    SCommentRestriction resComment;
  } res;
};

struct ERROR_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  SCODE scode;
  ULONG ulFlags;
  LPMAPIERROR lpMAPIError;
};

struct NEWMAIL_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  ULONG cbParentID;
  LPENTRYID lpParentID;
  ULONG ulFlags;
  LPTSTR lpszMessageClass;
  ULONG ulMessageFlags;
};

struct OBJECT_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  ULONG ulObjType;
  ULONG cbParentID;
  LPENTRYID lpParentID;
  ULONG cbOldID;
  LPENTRYID lpOldID;
  ULONG cbOldParentID;
  LPENTRYID lpOldParentID;
  LPSPropTagArray lpPropTagArray;
};

struct TABLE_NOTIFICATION {
  ULONG ulTableEvent;
  HRESULT hResult;
  SPropValue propIndex;
  SPropValue propPrior;
  SRow row;
  ULONG ulPad;
};

struct EXTENDED_NOTIFICATION {
  ULONG ulEvent;
  ULONG cb;
  LPBYTE pbEventParameters;
};

struct STATUS_OBJECT_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  ULONG cValues;
  LPSPropValue lpPropVals;
};

struct NOTIFICATION {
  ULONG ulEventType;
  ULONG ulAlignPad;
  union {
    ERROR_NOTIFICATION err;
    NEWMAIL_NOTIFICATION newmail;
    OBJECT_NOTIFICATION obj;
    TABLE_NOTIFICATION tab;
    EXTENDED_NOTIFICATION ext;
    STATUS_OBJECT_NOTIFICATION statobj;
  } info;
};
using LPNOTIFICATION = NOTIFICATION*;

struct FlagList {
  ULONG cFlags;
  ULONG ulFlag[MAPI_DIM];
};
using LPFlagList = FlagList*;

using LPFNABSDI = BOOL(STDMETHODCALLTYPE*)(ULONG ulUIParam, LPVOID lpvmsg);
using LPFNDISMISS = void(STDMETHODCALLTYPE*)(ULONG ulUIParam, LPVOID lpvContext);
using LPFNBUTTON = SCODE(STDMETHODCALLTYPE*)(ULONG ulUIParam, LPVOID lpvContext, ULONG cbEntryID,
                                             LPENTRYID lpSelection, ULONG ulFlags);

struct ADRPARM {
  ULONG cbABContEntryID;
  LPENTRYID lpABContEntryID;
  ULONG ulFlags;
  LPVOID lpReserved;
  ULONG ulHelpContext;
  LPTSTR lpszHelpFileName;
  LPFNABSDI lpfnABSDI;
  LPFNDISMISS lpfnDismiss;
  LPVOID lpvDismissContext;
  LPTSTR lpszCaption;
  LPTSTR lpszNewEntryTitle;
  LPTSTR lpszDestWellsTitle;
  ULONG cDestFields;
  ULONG nDestFieldFocus;
  LPTSTR* lppszDestTitles;
  ULONG* lpulDestComps;
  LPSRestriction lpContRestriction;
  LPSRestriction lpHierRestriction;
};
using LPADRPARM = ADRPARM*;

// ---- interfaces ----------------------------------------------------------------

struct IMsgStore;
struct IMAPIFolder;
struct IMessage;
struct IAttach;
struct IAddrBook;
struct IABContainer;
struct IMailUser;
struct IDistList;
struct IMAPIStatus;
struct IMAPITable;
struct IProfSect;
struct IMAPIProp;
struct IMAPIContainer;
struct IMAPIAdviseSink;
struct IMAPIProgress;
struct IProviderAdmin;
struct IMAPISession;
struct IMsgServiceAdmin;
struct IProfAdmin;
using LPMDB = IMsgStore*;
using LPMAPIFOLDER = IMAPIFolder*;
using LPMESSAGE = IMessage*;
using LPATTACH = IAttach*;
using LPADRBOOK = IAddrBook*;
using LPABCONT = IABContainer*;
using LPMAILUSER = IMailUser*;
using LPDISTLIST = IDistList*;
using LPMAPISTATUS = IMAPIStatus*;
using LPMAPITABLE = IMAPITable*;
using LPPROFSECT = IProfSect*;
using LPMAPIPROP = IMAPIProp*;
using LPMAPICONTAINER = IMAPIContainer*;
using LPMAPIADVISESINK = IMAPIAdviseSink*;
using LPMAPIPROGRESS = IMAPIProgress*;
using LPPROVIDERADMIN = IProviderAdmin*;
using LPMAPISESSION = IMAPISession*;
using LPSERVICEADMIN = IMsgServiceAdmin*;
using LPPROFADMIN = IProfAdmin*;

struct IMAPIAdviseSink : IUnknown {
  STDMETHOD_(ULONG, OnNotify)(ULONG cNotif, LPNOTIFICATION lpNotifications) PURE;
};

struct IMAPIProgress : IUnknown {
  STDMETHOD(Progress)(ULONG ulValue, ULONG ulCount, ULONG ulTotal) PURE;
  STDMETHOD(GetFlags)(ULONG* lpulFlags) PURE;
  STDMETHOD(GetMax)(ULONG* lpulMax) PURE;
  STDMETHOD(GetMin)(ULONG* lpulMin) PURE;
  STDMETHOD(SetLimits)(LPULONG lpulMin, LPULONG lpulMax, LPULONG lpulFlags) PURE;
};

struct IMAPIProp : IUnknown {
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) PURE;
  STDMETHOD(SaveChanges)(ULONG ulFlags) PURE;
  STDMETHOD(GetProps)(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                      LPSPropValue* lppPropArray) PURE;
  STDMETHOD(GetPropList)(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) PURE;
  STDMETHOD(OpenProperty)(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                          LPUNKNOWN* lppUnk) PURE;
  STDMETHOD(SetProps)(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) PURE;
  STDMETHOD(DeleteProps)(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) PURE;
  STDMETHOD(CopyTo)(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG ulUIParam,
                    LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                    LPSPropProblemArray* lppProblems) PURE;
  STDMETHOD(CopyProps)(LPSPropTagArray lpIncludeProps, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                       LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                       LPSPropProblemArray* lppProblems) PURE;
  STDMETHOD(GetNamesFromIDs)(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                             ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) PURE;
  STDMETHOD(GetIDsFromNames)(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                             LPSPropTagArray* lppPropTags) PURE;
};

struct IMAPITable : IUnknown {
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) PURE;
  STDMETHOD(Advise)(ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) PURE;
  STDMETHOD(Unadvise)(ULONG ulConnection) PURE;
  STDMETHOD(GetStatus)(ULONG* lpulTableStatus, ULONG* lpulTableType) PURE;
  STDMETHOD(SetColumns)(LPSPropTagArray lpPropTagArray, ULONG ulFlags) PURE;
  STDMETHOD(QueryColumns)(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) PURE;
  STDMETHOD(GetRowCount)(ULONG ulFlags, ULONG* lpulCount) PURE;
  STDMETHOD(SeekRow)(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) PURE;
  STDMETHOD(SeekRowApprox)(ULONG ulNumerator, ULONG ulDenominator) PURE;
  STDMETHOD(QueryPosition)(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) PURE;
  STDMETHOD(FindRow)(LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags) PURE;
  STDMETHOD(Restrict)(LPSRestriction lpRestriction, ULONG ulFlags) PURE;
  STDMETHOD(CreateBookmark)(BOOKMARK* lpbkPosition) PURE;
  STDMETHOD(FreeBookmark)(BOOKMARK bkPosition) PURE;
  STDMETHOD(SortTable)(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) PURE;
  STDMETHOD(QuerySortOrder)(LPSSortOrderSet* lppSortCriteria) PURE;
  STDMETHOD(QueryRows)(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) PURE;
  STDMETHOD(Abort)() PURE;
  STDMETHOD(ExpandRow)(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulRowCount, ULONG ulFlags,
                       LPSRowSet* lppRows, ULONG* lpulMoreRows) PURE;
  STDMETHOD(CollapseRow)(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulFlags, ULONG* lpulRowCount) PURE;
  STDMETHOD(WaitForCompletion)(ULONG ulFlags, ULONG ulTimeout, ULONG* lpulTableStatus) PURE;
  STDMETHOD(GetCollapseState)(ULONG ulFlags, ULONG cbInstanceKey, LPBYTE lpbInstanceKey,
                              ULONG* lpcbCollapseState, LPBYTE* lppbCollapseState) PURE;
  STDMETHOD(SetCollapseState)(ULONG ulFlags, ULONG cbCollapseState, LPBYTE pbCollapseState,
                              BOOKMARK* lpbkLocation) PURE;
};

struct IMAPIContainer : IMAPIProp {
  STDMETHOD(GetContentsTable)(ULONG ulFlags, LPMAPITABLE* lppTable) PURE;
  STDMETHOD(GetHierarchyTable)(ULONG ulFlags, LPMAPITABLE* lppTable) PURE;
  STDMETHOD(OpenEntry)(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                       ULONG* lpulObjType, LPUNKNOWN* lppUnk) PURE;
  STDMETHOD(SetSearchCriteria)(LPSRestriction lpRestriction, LPENTRYLIST lpContainerList,
                               ULONG ulSearchFlags) PURE;
  STDMETHOD(GetSearchCriteria)(ULONG ulFlags, LPSRestriction* lppRestriction, LPENTRYLIST* lppContainerList,
                               ULONG* lpulSearchState) PURE;
};

struct IABContainer : IMAPIContainer {
  STDMETHOD(CreateEntry)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulCreateFlags,
                         LPMAPIPROP* lppMAPIPropEntry) PURE;
  STDMETHOD(CopyEntries)(LPENTRYLIST lpEntries, ULONG ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) PURE;
  STDMETHOD(DeleteEntries)(LPENTRYLIST lpEntries, ULONG ulFlags) PURE;
  STDMETHOD(ResolveNames)(LPSPropTagArray lpPropTagArray, ULONG ulFlags, LPADRLIST lpAdrList,
                          LPFlagList lpFlagList) PURE;
};

struct IMailUser : IMAPIProp {};

struct IDistList : IMAPIContainer {
  STDMETHOD(CreateEntry)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulCreateFlags,
                         LPMAPIPROP* lppMAPIPropEntry) PURE;
  STDMETHOD(CopyEntries)(LPENTRYLIST lpEntries, ULONG ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) PURE;
  STDMETHOD(DeleteEntries)(LPENTRYLIST lpEntries, ULONG ulFlags) PURE;
  STDMETHOD(ResolveNames)(LPSPropTagArray lpPropTagArray, ULONG ulFlags, LPADRLIST lpAdrList,
                          LPFlagList lpFlagList) PURE;
};

struct IMAPIFolder : IMAPIContainer {
  STDMETHOD(CreateMessage)(LPCIID lpInterface, ULONG ulFlags, LPMESSAGE* lppMessage) PURE;
  STDMETHOD(CopyMessages)(LPENTRYLIST lpMsgList, LPCIID lpInterface, LPVOID lpDestFolder, ULONG ulUIParam,
                          LPMAPIPROGRESS lpProgress, ULONG ulFlags) PURE;
  STDMETHOD(DeleteMessages)(LPENTRYLIST lpMsgList, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                            ULONG ulFlags) PURE;
  STDMETHOD(CreateFolder)(ULONG ulFolderType, LPTSTR lpszFolderName, LPTSTR lpszFolderComment,
                          LPCIID lpInterface, ULONG ulFlags, LPMAPIFOLDER* lppFolder) PURE;
  STDMETHOD(CopyFolder)(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, LPVOID lpDestFolder,
                        LPTSTR lpszNewFolderName, ULONG ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) PURE;
  STDMETHOD(DeleteFolder)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                          ULONG ulFlags) PURE;
  STDMETHOD(SetReadFlags)(LPENTRYLIST lpMsgList, ULONG ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) PURE;
  STDMETHOD(GetMessageStatus)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags,
                              ULONG* lpulMessageStatus) PURE;
  STDMETHOD(SetMessageStatus)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulNewStatus, ULONG ulNewStatusMask,
                              ULONG* lpulOldStatus) PURE;
  STDMETHOD(SaveContentsSort)(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) PURE;
  STDMETHOD(EmptyFolder)(ULONG ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) PURE;
};

struct IMsgStore : IMAPIProp {
  STDMETHOD(Advise)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                    ULONG* lpulConnection) PURE;
  STDMETHOD(Unadvise)(ULONG ulConnection) PURE;
  STDMETHOD(CompareEntryIDs)(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                             ULONG ulFlags, ULONG* lpulResult) PURE;
  STDMETHOD(OpenEntry)(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                       ULONG* lpulObjType, LPUNKNOWN* lppUnk) PURE;
  STDMETHOD(SetReceiveFolder)(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) PURE;
  STDMETHOD(GetReceiveFolder)(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG* lpcbEntryID, LPENTRYID* lppEntryID,
                              LPTSTR* lppszExplicitClass) PURE;
  STDMETHOD(GetReceiveFolderTable)(ULONG ulFlags, LPMAPITABLE* lppTable) PURE;
  STDMETHOD(StoreLogoff)(ULONG* lpulFlags) PURE;
  STDMETHOD(AbortSubmit)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags) PURE;
  STDMETHOD(GetOutgoingQueue)(ULONG ulFlags, LPMAPITABLE* lppTable) PURE;
  STDMETHOD(SetLockState)(LPMESSAGE lpMessage, ULONG ulLockState) PURE;
  STDMETHOD(FinishedMsg)(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) PURE;
  STDMETHOD(NotifyNewMail)(LPNOTIFICATION lpNotification) PURE;
};

struct IMessage : IMAPIProp {
  STDMETHOD(GetAttachmentTable)(ULONG ulFlags, LPMAPITABLE* lppTable) PURE;
  STDMETHOD(OpenAttach)(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) PURE;
  STDMETHOD(CreateAttach)(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) PURE;
  STDMETHOD(DeleteAttach)(ULONG ulAttachmentNum, ULONG ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) PURE;
  STDMETHOD(GetRecipientTable)(ULONG ulFlags, LPMAPITABLE* lppTable) PURE;
  STDMETHOD(ModifyRecipients)(ULONG ulFlags, LPADRLIST lpMods) PURE;
  STDMETHOD(SubmitMessage)(ULONG ulFlags) PURE;
  STDMETHOD(SetReadFlag)(ULONG ulFlags) PURE;
};

struct IAttach : IMAPIProp {};

struct IMAPISession : IUnknown {
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) PURE;
  STDMETHOD(GetMsgStoresTable)(ULONG ulFlags, LPMAPITABLE* lppTable) PURE;
  STDMETHOD(OpenMsgStore)(ULONG_PTR ulUIParam, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface,
                          ULONG ulFlags, LPMDB* lppMDB) PURE;
  STDMETHOD(OpenAddressBook)(ULONG_PTR ulUIParam, LPCIID lpInterface, ULONG ulFlags, LPADRBOOK* lppAdrBook) PURE;
  STDMETHOD(OpenProfileSection)(LPMAPIUID lpUID, LPCIID lpInterface, ULONG ulFlags, LPPROFSECT* lppProfSect) PURE;
  STDMETHOD(GetStatusTable)(ULONG ulFlags, LPMAPITABLE* lppTable) PURE;
  STDMETHOD(OpenEntry)(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                       ULONG* lpulObjType, LPUNKNOWN* lppUnk) PURE;
  STDMETHOD(CompareEntryIDs)(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                             ULONG ulFlags, ULONG* lpulResult) PURE;
  STDMETHOD(Advise)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                    ULONG* lpulConnection) PURE;
  STDMETHOD(Unadvise)(ULONG ulConnection) PURE;
  STDMETHOD(MessageOptions)(ULONG_PTR ulUIParam, ULONG ulFlags, LPTSTR lpszAdrType, LPMESSAGE lpMessage) PURE;
  STDMETHOD(QueryDefaultMessageOpt)(LPTSTR lpszAdrType, ULONG ulFlags, ULONG* lpcValues,
                                    LPSPropValue* lppOptions) PURE;
  STDMETHOD(EnumAdrTypes)(ULONG ulFlags, ULONG* lpcAdrTypes, LPTSTR** lpppszAdrTypes) PURE;
  STDMETHOD(QueryIdentity)(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) PURE;
  STDMETHOD(Logoff)(ULONG_PTR ulUIParam, ULONG ulFlags, ULONG ulReserved) PURE;
  STDMETHOD(SetDefaultStore)(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) PURE;
  STDMETHOD(AdminServices)(ULONG ulFlags, LPSERVICEADMIN* lppServiceAdmin) PURE;
  STDMETHOD(ShowForm)(ULONG_PTR ulUIParam, LPMDB lpMsgStore, LPMAPIFOLDER lpParentFolder, LPCIID lpInterface,
                      ULONG ulMessageToken, LPMESSAGE lpMessageSent, ULONG ulFlags, ULONG ulMessageStatus,
                      ULONG ulMessageFlags, ULONG ulAccess, LPSTR lpszMessageClass) PURE;
  STDMETHOD(PrepareForm)(LPCIID lpInterface, LPMESSAGE lpMessage, ULONG* lpulMessageToken) PURE;
};

struct IAddrBook : IMAPIProp {
  STDMETHOD(OpenEntry)(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                       ULONG* lpulObjType, LPUNKNOWN* lppUnk) PURE;
  STDMETHOD(CompareEntryIDs)(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                             ULONG ulFlags, ULONG* lpulResult) PURE;
  STDMETHOD(Advise)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                    ULONG* lpulConnection) PURE;
  STDMETHOD(Unadvise)(ULONG ulConnection) PURE;
  STDMETHOD(CreateOneOff)(LPTSTR lpszName, LPTSTR lpszAdrType, LPTSTR lpszAddress, ULONG ulFlags,
                          ULONG* lpcbEntryID, LPENTRYID* lppEntryID) PURE;
  STDMETHOD(NewEntry)(ULONG_PTR ulUIParam, ULONG ulFlags, ULONG cbEIDContainer, LPENTRYID lpEIDContainer,
                      ULONG cbEIDNewEntryTpl, LPENTRYID lpEIDNewEntryTpl, ULONG* lpcbEIDNewEntry,
                      LPENTRYID* lppEIDNewEntry) PURE;
  STDMETHOD(ResolveName)(ULONG_PTR ulUIParam, ULONG ulFlags, LPTSTR lpszNewEntryTitle, LPADRLIST lpAdrList) PURE;
  STDMETHOD(Address)(ULONG_PTR* lpulUIParam, LPADRPARM lpAdrParms, LPADRLIST* lppAdrList) PURE;
  STDMETHOD(Details)(ULONG* lpulUIParam, LPFNDISMISS lpfnDismiss, LPVOID lpvDismissContext, ULONG cbEntryID,
                     LPENTRYID lpEntryID, LPFNBUTTON lpfButtonCallback, LPVOID lpvButtonContext,
                     LPTSTR lpszButtonText, ULONG ulFlags) PURE;
  STDMETHOD(RecipOptions)(ULONG_PTR ulUIParam, ULONG ulFlags, LPADRENTRY lpRecip) PURE;
  STDMETHOD(QueryDefaultRecipOpt)(LPTSTR lpszAdrType, ULONG ulFlags, ULONG* lpcValues,
                                  LPSPropValue* lppOptions) PURE;
  STDMETHOD(GetPAB)(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) PURE;
  STDMETHOD(SetPAB)(ULONG cbEntryID, LPENTRYID lpEntryID) PURE;
  STDMETHOD(GetDefaultDir)(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) PURE;
  STDMETHOD(SetDefaultDir)(ULONG cbEntryID, LPENTRYID lpEntryID) PURE;
  STDMETHOD(GetSearchPath)(ULONG ulFlags, LPSRowSet* lppSearchPath) PURE;
  STDMETHOD(SetSearchPath)(ULONG ulFlags, LPSRowSet lpSearchPath) PURE;
  STDMETHOD(PrepareRecips)(ULONG ulFlags, LPSPropTagArray lpPropTagArray, LPADRLIST lpRecipList) PURE;
};

#endif  // _WIN32

// ---- both targets ------------------------------------------------------------------

// Values the SDK's headers may lack.
#ifndef PR_IPM_APPOINTMENT_ENTRYID
#define PR_IPM_APPOINTMENT_ENTRYID PROP_TAG(PT_BINARY, 0x36D0)
#endif
#ifndef PR_SMTP_ADDRESS
#define PR_SMTP_ADDRESS PROP_TAG(PT_UNICODE, 0x39FE)
#define PR_SMTP_ADDRESS_W PROP_TAG(PT_UNICODE, 0x39FE)
#define PR_SMTP_ADDRESS_A PROP_TAG(PT_STRING8, 0x39FE)
#endif
#ifndef PR_EMS_AB_PROXY_ADDRESSES
#define PR_EMS_AB_PROXY_ADDRESSES PROP_TAG(PT_MV_UNICODE, 0x800F)
#define PR_EMS_AB_PROXY_ADDRESSES_W PROP_TAG(PT_MV_UNICODE, 0x800F)
#define PR_EMS_AB_PROXY_ADDRESSES_A PROP_TAG(PT_MV_STRING8, 0x800F)
#endif

// Property sets of named properties.
TESSARO_DEFINE_GUID(PSETID_Appointment, 0x00062002, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
TESSARO_DEFINE_GUID(PSETID_Common, 0x00062008, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
TESSARO_DEFINE_GUID(PSETID_Address, 0x00062004, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
TESSARO_DEFINE_GUID(PS_PUBLIC_STRINGS, 0x00020329, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
TESSARO_DEFINE_GUID(PS_MAPI, 0x00020328, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

namespace plat {

// The MAPI library. The real one on each target (see the top of this file);
// tests and the in-memory provider install a substitute, normally derived
// from PortableMapiService.
class MapiService {
 public:
  virtual ~MapiService() = default;
  virtual HRESULT MAPIInitialize(LPVOID lpMapiInit);
  virtual void MAPIUninitialize();
  virtual HRESULT MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword, ULONG ulFlags,
                              LPMAPISESSION* lppSession);
  virtual SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer);
  virtual SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
  virtual ULONG MAPIFreeBuffer(LPVOID lpBuffer);
  virtual void FreeProws(LPSRowSet lpRows);
  virtual void FreePadrlist(LPADRLIST lpAdrlist);
  virtual HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                                 LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows);
  virtual HRESULT HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp);
  virtual HRESULT HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp);
  // Delivers notifications that are waiting for the calling thread. Real
  // MAPI delivers them through the thread's message loop, which the host
  // runs, so the real service does nothing here; a provider that queues its
  // notifications delivers them.
  virtual void PumpNotifications();
};

// The library without a message store, on both targets: buffers and the
// Hr... helpers work (portable implementations below), MAPIInitialize and
// MAPILogonEx fail with MAPI_E_NOT_INITIALIZED. A provider derives from it
// and overrides those two. On Linux the real library is exactly this one
// (platform/linux/mapi_linux.cpp), so nothing is overridden there.
class PortableMapiService : public MapiService {
#ifdef _WIN32
 public:
  HRESULT MAPIInitialize(LPVOID lpMapiInit) override;
  void MAPIUninitialize() override;
  HRESULT MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword, ULONG ulFlags,
                      LPMAPISESSION* lppSession) override;
  SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) override;
  SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) override;
  ULONG MAPIFreeBuffer(LPVOID lpBuffer) override;
  void FreeProws(LPSRowSet lpRows) override;
  void FreePadrlist(LPADRLIST lpAdrlist) override;
  HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                         LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) override;
  HRESULT HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) override;
  HRESULT HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp) override;
  void PumpNotifications() override;
#endif
};

inline MapiService& Mapi() { return Seam<MapiService>::Get(); }

// Portable implementations of the library's buffer functions and helpers.
namespace mapi_portable {

// A buffer is one allocation; MAPIAllocateMore links further allocations
// to it (lpObject may be the buffer or any block linked to it) and
// MAPIFreeBuffer of the buffer frees all of them. Blocks are aligned for
// any type. MAPIFreeBuffer of a linked block alone frees nothing and
// answers MAPI_E_INVALID_PARAMETER.
SCODE AllocateBuffer(ULONG cbSize, LPVOID* lppBuffer);
SCODE AllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
ULONG FreeBuffer(LPVOID lpBuffer);

// These free and allocate through mapi, so that the buffers go back to the
// allocator they came from.
void FreeProws(MapiService& mapi, LPSRowSet lpRows);
void FreePadrlist(MapiService& mapi, LPADRLIST lpAdrlist);
// Sets the columns, restriction and sort order that are given (each with
// TBL_BATCH), seeks to the beginning and reads every row into one row set.
// With crowsMax > 0 a table holding more rows fails with
// MAPI_E_TABLE_TOO_BIG. Table methods used: SetColumns, Restrict,
// SortTable, SeekRow, QueryRows.
HRESULT HrQueryAllRows(MapiService& mapi, LPMAPITABLE lpTable, LPSPropTagArray lpPropTags,
                       LPSRestriction lpRestriction, LPSSortOrderSet lpSortOrderSet, LONG crowsMax,
                       LPSRowSet* lppRows);
// GetProps for one tag. A property the object does not have (a PT_ERROR
// value, or MAPI_W_ERRORS_RETURNED) fails with the value's error code
// (MAPI_E_NOT_FOUND when it has none) and hands out no buffer.
HRESULT HrGetOneProp(MapiService& mapi, LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp);
// SetProps for one value; a problem reported for it becomes the result.
HRESULT HrSetOneProp(MapiService& mapi, LPMAPIPROP lpMapiProp, LPSPropValue lpProp);

}  // namespace mapi_portable

}  // namespace plat
