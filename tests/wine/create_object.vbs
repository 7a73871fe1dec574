' Creating the driver by ProgID must work; it has no scriptable members, so
' calling one must fail with "object doesn't support this property" (438).
On Error Resume Next
Set driver = CreateObject("Quorvalend.QuorvalendPro")
If Err.Number <> 0 Then
  WScript.Echo "CreateObject failed: " & Err.Number
  WScript.Quit 1
End If
driver.Read
If Err.Number <> 438 Then
  WScript.Echo "calling a member gave " & Err.Number & ", not 438"
  WScript.Quit 2
End If
Set driver = Nothing
WScript.Echo "ok"
WScript.Quit 0
