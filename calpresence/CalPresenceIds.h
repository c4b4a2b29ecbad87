// Identifiers of the calendar presence control: its class, its dispatch
// interface and its event interface. The registration scripts, the type
// library and the class table of the module use these same values.
#pragma once

#include "platform/com.h"

// {1AC17075-3243-4ADD-AE68-AAAB5F160B35}
TESSARO_DEFINE_GUID(CLSID_CalPresenceAX, 0x1AC17075, 0x3243, 0x4ADD, 0xAE, 0x68, 0xAA, 0xAB, 0x5F, 0x16, 0x0B, 0x35);
// {13E51D3F-B7DC-4DE3-8660-BD900AE8E20A}
TESSARO_DEFINE_GUID(IID_ICalPresence, 0x13E51D3F, 0xB7DC, 0x4DE3, 0x86, 0x60, 0xBD, 0x90, 0x0A, 0xE8, 0xE2, 0x0A);
// {BAC02B84-C0C2-41BA-8794-3A1E271B6905}
TESSARO_DEFINE_GUID(DIID__ICalPresenceEvents, 0xBAC02B84, 0xC0C2, 0x41BA, 0x87, 0x94, 0x3A, 0x1E, 0x27, 0x1B, 0x69,
                    0x05);

// Dispatch ids of ICalPresence.
constexpr DISPID DISPID_CALPRESENCE_GETCALDATA = 1;
constexpr DISPID DISPID_CALPRESENCE_CHECKPROCESSCHANGE = 2;
constexpr DISPID DISPID_CALPRESENCE_QUIT = 3;

// Dispatch ids of _ICalPresenceEvents.
constexpr DISPID DISPID_CALPRESENCE_ONCALDATACHANGED = 1;
constexpr DISPID DISPID_CALPRESENCE_DONE = 2;
constexpr DISPID DISPID_CALPRESENCE_PASSWORDAVAILABLE = 3;

// The scriptable interface: three methods without arguments.
struct ICalPresence : IDispatch {
  STDMETHOD(GetCalData)() PURE;
  STDMETHOD(CheckProcessChange)() PURE;
  STDMETHOD(Quit)() PURE;
};
