' The three controls of ZLMTessaro.dll driven from VBScript as a page's
' script drives them: created by versioned and version-independent ProgID,
' every method called both ways VBScript calls them (a variable passed for
' an out parameter, which the control fills, and the value of a call used as
' a function), wrong calls answered with errors. Run by cscript with the
' module registered and without a mail client or MAPI provider, so the
' controls give their soft answers. Prints one line per check; exits with
' the number of wrong answers.
Option Explicit
On Error Resume Next

Dim wrong, checks
wrong = 0
checks = 0

' VBScript turns the dispatch errors a control reports into its own numbers.
Const VB_TYPE_MISMATCH = 13        ' DISP_E_TYPEMISMATCH
Const VB_WRONG_ARGUMENTS = 450     ' DISP_E_BADPARAMCOUNT
Const VB_NO_SUCH_MEMBER = 438      ' DISP_E_UNKNOWNNAME
Const VB_CANNOT_CREATE = 429
Const E_ABORT = &H80004004
Const E_FAIL = &H80004005

' With On Error Resume Next an error while the arguments of a statement are
' evaluated skips the statement: every check goes through here and counts,
' and each part of the script ends by checking its count (see Checked).
Sub Check(ok, what, got)
  checks = checks + 1
  If ok Then
    WScript.Echo "ok    " & what & " -> " & got
  Else
    WScript.Echo "WRONG " & what & " -> " & got
    wrong = wrong + 1
  End If
End Sub

Function Shown(v)
  Shown = TypeName(v) & " " & v
End Function

' Tests of a value that cannot raise an error themselves.
Function HoldsFalse(v)
  HoldsFalse = False
  If TypeName(v) = "Boolean" Then HoldsFalse = Not CBool(v)
End Function

' The controls' true is a VT_BOOL holding 1, not VARIANT_TRUE (-1): true to
' If, unequal to True.
Function HoldsOne(v)
  HoldsOne = False
  If TypeName(v) = "Boolean" Then HoldsOne = (CInt(v) = 1)
End Function

Function HoldsLong(v, expected)
  HoldsLong = False
  If TypeName(v) = "Long" Then HoldsLong = (v = expected)
End Function

Function HoldsText(v, expected)
  HoldsText = False
  If TypeName(v) = "String" Then HoldsText = (v = expected)
End Function

Function HoldsStampNearNow(v)
  HoldsStampNearNow = False
  If TypeName(v) = "Long" Then HoldsStampNearNow = (Abs(v - NowSeconds()) <= 86400)
End Function

' The error of the statement just run: none, or its number; clears it.
Function Outcome()
  If Err.Number = 0 Then
    Outcome = "no error"
  Else
    Outcome = "error " & Err.Number & " (&H" & Hex(Err.Number) & ")"
  End If
  Err.Clear
End Function

Sub ExpectError(what, number)
  Dim n
  n = Err.Number
  Check n = number, what, Outcome()
End Sub

Sub ExpectNoError(what)
  Dim n
  n = Err.Number
  Check n = 0, what, Outcome()
End Sub

' Seconds since 1970 by the local clock (the script engine has no UTC).
Function NowSeconds()
  NowSeconds = Int((CDbl(Now()) - CDbl(DateSerial(1970, 1, 1))) * 86400)
End Function

' Checks that a part of the script made all its checks.
Sub Checked(what, before, expected)
  Dim made
  made = checks - before
  Check made = expected, what & " made all its checks", made & " of " & expected
End Sub

' ---- calendar presence ------------------------------------------------------
' The engine's own CreateObject hands the new object a site that is no
' browser; the calendar presence control refuses such a site (it needs the
' browser's events) and the engine drops the object. The script host's
' CreateObject sets no site.
Dim refused
Set refused = CreateObject("ZLMTessaro.CalPresenceAX.214")
ExpectError "CreateObject CalPresenceAX (site is no browser)", VB_CANNOT_CREATE

Sub CalendarPresence(progId)
  On Error Resume Next  ' a procedure of its own: the handler does not carry over
  Dim cp, before
  before = checks
  Set cp = WScript.CreateObject(progId)
  ExpectNoError "WScript.CreateObject " & progId
  If Not IsObject(cp) Then Exit Sub
  ' No mail client runs: the pass answers S_FALSE, no error to script.
  cp.GetCalData
  ExpectNoError progId & " GetCalData"
  Call cp.CheckProcessChange()
  ExpectNoError progId & " Call CheckProcessChange()"
  cp.GetCalData 1
  ExpectError progId & " GetCalData 1", VB_WRONG_ARGUMENTS
  cp.NoSuchMethod
  ExpectError progId & " NoSuchMethod", VB_NO_SUCH_MEMBER
  cp.Quit
  ExpectNoError progId & " Quit"
  Checked progId, before, 6
End Sub
CalendarPresence "ZLMTessaro.CalPresenceAX.214"
CalendarPresence "ZLMTessaro.CalPresenceAX"

' ---- away timer -------------------------------------------------------------
Sub AwayTimer(progId)
  On Error Resume Next  ' a procedure of its own: the handler does not carry over
  Dim am, t, before
  before = checks
  Set am = CreateObject(progId)
  ExpectNoError "CreateObject " & progId
  If Not IsObject(am) Then Exit Sub
  am.MonInit
  ExpectNoError progId & " MonInit"
  ' The hook library lies beside the module: the answer is the moment
  ' watching began, in seconds since 1970 (the local clock's idea of it:
  ' Now is local time, hence the day's slack).
  t = "untouched"
  am.GetIdleTime t
  Check Err.Number = 0 And HoldsStampNearNow(t), progId & " GetIdleTime t", Shown(t) & ", " & Outcome()
  t = Empty
  t = am.GetIdleTime()
  Check Err.Number = 0 And HoldsStampNearNow(t), progId & " t = GetIdleTime()", Shown(t) & ", " & Outcome()
  am.GetIdleTime 5
  ExpectError progId & " GetIdleTime 5", VB_TYPE_MISMATCH
  am.GetIdleTime t, t
  ExpectError progId & " GetIdleTime t, t", VB_WRONG_ARGUMENTS
  am.MonUnInit
  ExpectNoError progId & " MonUnInit"
  am.GetIdleTime t
  Check Err.Number = 0 And HoldsLong(t, 0), progId & " GetIdleTime t after MonUnInit", _
        Shown(t) & ", " & Outcome()
  am.Monitor
  ExpectError progId & " Monitor", VB_NO_SUCH_MEMBER
  Checked progId, before, 9
End Sub
AwayTimer "ZLMTessaro.ActiveMonAX.214"
AwayTimer "ZLMTessaro.ActiveMonAX"

' ---- participant search -----------------------------------------------------
' DoGetParticipantsDlg would show the address book's dialog: it is called
' only with wrong argument counts, which the dispatcher refuses first.
Sub ParticipantSearch(progId)
  On Error Resume Next  ' a procedure of its own: the handler does not carry over
  Dim ms, b, c, s, n, before
  before = checks
  Set ms = CreateObject(progId)
  ExpectNoError "CreateObject " & progId
  If Not IsObject(ms) Then Exit Sub

  ' Out parameters as variables: the control fills them, whatever they held.
  c = "untouched"
  ms.GetParticipantCount c
  Check Err.Number = 0 And HoldsLong(c, 0), progId & " GetParticipantCount c", _
        Shown(c) & ", " & Outcome()
  b = 17
  ms.FirstParticipant b
  Check Err.Number = 0 And HoldsFalse(b), progId & " FirstParticipant b", _
        Shown(b) & ", " & Outcome()
  b = 17
  ms.NextParticipant b
  Check Err.Number = 0 And HoldsFalse(b), progId & " NextParticipant b", _
        Shown(b) & ", " & Outcome()
  c = 5
  ms.GetParticipantPropertySetCount c
  ExpectError progId & " GetParticipantPropertySetCount c", E_ABORT
  s = Empty
  ms.GetParticipantPropertyName 0, s
  Check Err.Number = 0 And HoldsText(s, "unknown-property"), progId & " GetParticipantPropertyName 0, s", _
        Shown(s) & ", " & Outcome()
  s = Empty
  s = ms.GetParticipantPropertyValue(0)
  Check Err.Number = 0 And HoldsText(s, ""), progId & " s = GetParticipantPropertyValue(0)", Shown(s) & ", " & Outcome()
  ' A value the control does not write leaves the variable as it was.
  s = "kept"
  ms.GetParticipantPropertyValue 99, s
  Check Err.Number = 0 And HoldsText(s, "kept"), progId & " GetParticipantPropertyValue 99, s", _
        Shown(s) & ", " & Outcome()
  ' FirstProperty always answers true, as the number 1.
  b = Empty
  ms.FirstProperty b
  Check Err.Number = 0 And HoldsOne(b), progId & " FirstProperty b", _
        Shown(b) & ", " & Outcome()
  b = Empty
  b = ms.NextProperty()
  Check Err.Number = 0 And HoldsFalse(b), progId & " b = NextProperty()", _
        Shown(b) & ", " & Outcome()
  ms.GetPropertyName s
  ExpectError progId & " GetPropertyName s", E_FAIL
  s = ms.GetPropertyValue()
  ExpectError progId & " s = GetPropertyValue()", E_FAIL
  c = Empty
  c = ms.GetParticipantCount()
  Check Err.Number = 0 And HoldsLong(c, 0), progId & " c = GetParticipantCount()", _
        Shown(c) & ", " & Outcome()

  ' Without a MAPI provider the logon fails with MAPI's code, which comes
  ' back unchanged; with one it succeeds. Either way the call returns.
  ms.DoLogin
  n = Err.Number
  Check n = 0 Or n < 0, progId & " DoLogin", Outcome()
  ms.DoLogout
  n = Err.Number
  Check n = 0 Or n < 0, progId & " DoLogout", Outcome()

  ms.DoGetParticipantsDlg
  ExpectError progId & " DoGetParticipantsDlg", VB_WRONG_ARGUMENTS
  ms.DoGetParticipantsDlg 0, 0
  ExpectError progId & " DoGetParticipantsDlg 0, 0", VB_WRONG_ARGUMENTS
  ms.FirstParticipant 1
  ExpectError progId & " FirstParticipant 1", VB_TYPE_MISMATCH
  ms.GetParticipantPropertyName
  ExpectError progId & " GetParticipantPropertyName", VB_WRONG_ARGUMENTS
  ms.Participants b
  ExpectError progId & " Participants b", VB_NO_SUCH_MEMBER
  Checked progId, before, 20
End Sub
ParticipantSearch "ZLMTessaro.MapiSearchAX.214"
ParticipantSearch "ZLMTessaro.MapiSearchAX"

Checked "the script", 0, 1 + 2 * (7 + 10 + 21)
If wrong = 0 Then
  WScript.Echo "all answers right"
Else
  WScript.Echo wrong & " wrong answer(s)"
End If
WScript.Quit wrong
