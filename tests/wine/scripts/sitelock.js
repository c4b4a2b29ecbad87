// The three controls of ZLMTessaro.dll under the site lock, driven from
// JScript by the script host, which is no page: run with the machine's
// AllowedSites policy set, and with the argument "refused" (local hosts not
// allowed: every call must fail with access denied) or "served" (local hosts
// allowed: the controls answer as without the lock). Prints one line per
// check; exits with the number of wrong answers.

var wrong = 0;
var expectServed = WScript.Arguments.length > 0 && WScript.Arguments(0) === "served";

var E_ACCESSDENIED = 0x80070005;
// The script engine may report the control's E_ACCESSDENIED as its own
// "Permission denied".
var JS_E_PERMISSION_DENIED = 0x800A0046;

function hex(n) { return "0x" + (n >>> 0).toString(16).toUpperCase(); }

var checks = 0;

function check(ok, what, got) {
  checks++;
  WScript.Echo((ok ? "ok    " : "WRONG ") + what + " -> " + got);
  if (!ok) wrong++;
}

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

// A call that must be refused, or answered with a value the test accepts.
function call(what, f, servedTest) {
  var r = attempt(f);
  if (expectServed) {
    check(r.error === undefined && servedTest(r.value), what, shown(r));
  } else {
    check(r.error === E_ACCESSDENIED || r.error === JS_E_PERMISSION_DENIED, what, shown(r));
  }
}

function isUndefined(v) { return v === undefined; }
function is(expected) { return function (v) { return v === expected; }; }

// Creating the controls is not refused: only their methods are.
function create(what, f) {
  var r = attempt(f);
  check(r.error === undefined && typeof r.value === "object", what, shown(r));
  return r.value;
}

var cp = create("WScript.CreateObject CalPresenceAX",
                function () { return WScript.CreateObject("ZLMTessaro.CalPresenceAX.214"); });
if (cp) {
  call("CalPresenceAX GetCalData()", function () { return cp.GetCalData(); }, isUndefined);
  call("CalPresenceAX CheckProcessChange()", function () { return cp.CheckProcessChange(); }, isUndefined);
  call("CalPresenceAX Quit()", function () { return cp.Quit(); }, isUndefined);
}

var am = create("new ActiveXObject ActiveMonAX", function () { return new ActiveXObject("ZLMTessaro.ActiveMonAX.214"); });
if (am) {
  call("ActiveMonAX GetIdleTime()", function () { return am.GetIdleTime(); }, is(0));
  call("ActiveMonAX MonUnInit()", function () { return am.MonUnInit(); }, isUndefined);
}

var ms = create("new ActiveXObject MapiSearchAX", function () { return new ActiveXObject("ZLMTessaro.MapiSearchAX.214"); });
if (ms) {
  call("MapiSearchAX GetParticipantCount()", function () { return ms.GetParticipantCount(); }, is(0));
  call("MapiSearchAX FirstParticipant()", function () { return ms.FirstParticipant(); }, is(false));
  call("MapiSearchAX FirstProperty()", function () { return ms.FirstProperty(); }, is(true));
}

// The script host may end a script silently at an error it does not
// report: the count of checks made tells a script that ran to its end.
var expectedChecks = 11;
check(checks === expectedChecks, "the script made all its checks", checks + " of " + expectedChecks);
WScript.Echo(wrong === 0 ? "all answers right" : wrong + " wrong answer(s)");
WScript.Quit(wrong);
