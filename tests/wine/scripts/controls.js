// The three controls of ZLMTessaro.dll driven from JScript as a page's script
// drives them: created by versioned and version-independent ProgID, every
// method called, results taken as the values of [out, retval] parameters,
// wrong calls answered with errors. Run by cscript with the module
// registered and without a mail client or MAPI provider, so the controls
// give their soft answers. Prints one line per check; exits with the number
// of wrong answers.

var wrong = 0;

var DISP_E_TYPEMISMATCH = 0x80020005;
var DISP_E_BADPARAMCOUNT = 0x8002000E;
// JScript turns the unknown name a control reports (DISP_E_UNKNOWNNAME) into
// its own "Object doesn't support this property or method".
var JS_E_NO_SUCH_MEMBER = 0x800A01B6;
var JS_E_CANNOT_CREATE = 0x800A01AD;
var E_ABORT = 0x80004004;
var E_FAIL = 0x80004005;

function hex(n) { return "0x" + (n >>> 0).toString(16).toUpperCase(); }

var checks = 0;

function check(ok, what, got) {
  checks++;
  WScript.Echo((ok ? "ok    " : "WRONG ") + what + " -> " + got);
  if (!ok) wrong++;
}

// Runs f: {value} with what it returned, or {error} with the number it threw.
function attempt(f) {
  try {
    return { value: f() };
  } catch (e) {
    return { error: e.number >>> 0 };
  }
}

// An object is shown by its type only: turning a control into text would
// ask it for a default value it does not have, an error that ends the script.
function shown(r) {
  if (r.error !== undefined) return "error " + hex(r.error);
  return typeof r.value === "object" ? "object" : typeof r.value + " " + r.value;
}

function expectValue(what, f, test) {
  var r = attempt(f);
  check(r.error === undefined && test(r.value), what, shown(r));
  return r.value;
}

function expectError(what, f, number) {
  var r = attempt(f);
  check(r.error === number, what, shown(r));
}

function isUndefined(v) { return v === undefined; }
function is(expected) { return function (v) { return v === expected; }; }
function nowSeconds() { return Math.floor(new Date().getTime() / 1000); }

// ---- calendar presence ------------------------------------------------------
// The script engine's own "new ActiveXObject" hands the new object a site
// that is no browser; the calendar presence control refuses such a site
// (it needs the browser's events) and the engine then drops the object. The
// script host's CreateObject sets no site.
expectError("new ActiveXObject CalPresenceAX (site is no browser)",
            function () { return new ActiveXObject("ZLMTessaro.CalPresenceAX.214"); }, JS_E_CANNOT_CREATE);

function calendarPresence(progId) {
  var cp = expectValue("WScript.CreateObject " + progId, function () { return WScript.CreateObject(progId); },
                       function (v) { return typeof v === "object"; });
  if (!cp) return;
  // No mail client runs: the pass answers S_FALSE, which script sees as
  // success without a value.
  expectValue(progId + " GetCalData()", function () { return cp.GetCalData(); }, isUndefined);
  expectValue(progId + " CheckProcessChange()", function () { return cp.CheckProcessChange(); }, isUndefined);
  expectError(progId + " GetCalData(1)", function () { return cp.GetCalData(1); }, DISP_E_BADPARAMCOUNT);
  expectError(progId + " CheckProcessChange(1, 2)", function () { return cp.CheckProcessChange(1, 2); },
              DISP_E_BADPARAMCOUNT);
  expectError(progId + " NoSuchMethod()", function () { return cp.NoSuchMethod(); }, JS_E_NO_SUCH_MEMBER);
  expectValue(progId + " Quit()", function () { return cp.Quit(); }, isUndefined);
}
calendarPresence("ZLMTessaro.CalPresenceAX.214");
calendarPresence("ZLMTessaro.CalPresenceAX");

// ---- away timer -------------------------------------------------------------
function awayTimer(progId) {
  var am = expectValue("new ActiveXObject " + progId, function () { return new ActiveXObject(progId); },
                       function (v) { return typeof v === "object"; });
  if (!am) return;
  expectValue(progId + " GetIdleTime() before MonInit", function () { return am.GetIdleTime(); }, is(0));
  expectValue(progId + " MonInit()", function () { return am.MonInit(); }, isUndefined);
  // The hook library lies beside the module: the answer is the moment
  // watching began (no input has come), in seconds since 1970.
  expectValue(progId + " GetIdleTime()", function () { return am.GetIdleTime(); },
              function (v) { return typeof v === "number" && Math.abs(v - nowSeconds()) <= 300; });
  expectError(progId + " GetIdleTime(5)", function () { return am.GetIdleTime(5); }, DISP_E_TYPEMISMATCH);
  expectError(progId + " GetIdleTime(1, 2)", function () { return am.GetIdleTime(1, 2); }, DISP_E_BADPARAMCOUNT);
  expectError(progId + " MonInit(1)", function () { return am.MonInit(1); }, DISP_E_BADPARAMCOUNT);
  expectError(progId + " monitor()", function () { return am.monitor(); }, JS_E_NO_SUCH_MEMBER);
  expectValue(progId + " MonUnInit()", function () { return am.MonUnInit(); }, isUndefined);
  expectValue(progId + " GetIdleTime() after MonUnInit", function () { return am.GetIdleTime(); }, is(0));
}
awayTimer("ZLMTessaro.ActiveMonAX.214");
awayTimer("ZLMTessaro.ActiveMonAX");

// ---- participant search -----------------------------------------------------
// DoGetParticipantsDlg would show the address book's dialog: it is called
// only with wrong argument counts, which the dispatcher refuses first.
function participantSearch(progId) {
  var ms = expectValue("new ActiveXObject " + progId, function () { return new ActiveXObject(progId); },
                       function (v) { return typeof v === "object"; });
  if (!ms) return;
  // No participants picked yet.
  expectValue(progId + " GetParticipantCount()", function () { return ms.GetParticipantCount(); }, is(0));
  expectValue(progId + " FirstParticipant()", function () { return ms.FirstParticipant(); }, is(false));
  expectValue(progId + " NextParticipant()", function () { return ms.NextParticipant(); }, is(false));
  expectError(progId + " GetParticipantPropertySetCount()", function () { return ms.GetParticipantPropertySetCount(); },
              E_ABORT);
  expectValue(progId + " GetParticipantPropertyName(0)", function () { return ms.GetParticipantPropertyName(0); },
              is("unknown-property"));
  expectValue(progId + " GetParticipantPropertyValue(0)", function () { return ms.GetParticipantPropertyValue(0); },
              is(""));
  expectValue(progId + " FirstProperty()", function () { return ms.FirstProperty(); }, is(true));
  expectValue(progId + " NextProperty()", function () { return ms.NextProperty(); }, is(false));
  expectError(progId + " GetPropertyName()", function () { return ms.GetPropertyName(); }, E_FAIL);
  expectError(progId + " GetPropertyValue()", function () { return ms.GetPropertyValue(); }, E_FAIL);
  // Without a MAPI provider the logon fails with MAPI's code, which comes
  // back unchanged; with one it succeeds. Either way the call returns.
  var login = attempt(function () { return ms.DoLogin(); });
  check(login.error === undefined || (login.error & 0x80000000) !== 0, progId + " DoLogin()", shown(login));
  var logout = attempt(function () { return ms.DoLogout(); });
  check(logout.error === undefined || (logout.error & 0x80000000) !== 0, progId + " DoLogout()", shown(logout));

  expectError(progId + " DoGetParticipantsDlg()", function () { return ms.DoGetParticipantsDlg(); },
              DISP_E_BADPARAMCOUNT);
  expectError(progId + " DoGetParticipantsDlg(0, 0)", function () { return ms.DoGetParticipantsDlg(0, 0); },
              DISP_E_BADPARAMCOUNT);
  expectError(progId + " GetParticipantPropertyName()", function () { return ms.GetParticipantPropertyName(); },
              DISP_E_BADPARAMCOUNT);
  expectError(progId + " FirstParticipant(1)", function () { return ms.FirstParticipant(1); }, DISP_E_TYPEMISMATCH);
  expectError(progId + " GetPropertyValue(\"x\")", function () { return ms.GetPropertyValue("x"); },
              DISP_E_TYPEMISMATCH);
  expectError(progId + " Participants()", function () { return ms.Participants(); }, JS_E_NO_SUCH_MEMBER);
}
participantSearch("ZLMTessaro.MapiSearchAX.214");
participantSearch("ZLMTessaro.MapiSearchAX");

// The script host ends a script silently at an error it does not report:
// the count of checks made tells a script that ran to its end.
var expectedChecks = 73;
check(checks === expectedChecks, "the script made all its checks", checks + " of " + expectedChecks);
WScript.Echo(wrong === 0 ? "all answers right" : wrong + " wrong answer(s)");
WScript.Quit(wrong);
