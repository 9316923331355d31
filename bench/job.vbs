' The job as an administrator would script it: the baseboard's version through the WMI
' moniker, and the flashing tool started only on a board whose version begins with "41".
' The tool's file name is the one argument, as the benchmark's stand-in is named.
Dim boards, board, prefix
Set boards = GetObject("winmgmts:\\.\root\cimv2").ExecQuery("Select * from WIN32_BaseBoard", , 48)
For Each board In boards
  prefix = Left(board.Version, 2)
Next
If prefix = "41" Then
  CreateObject("WScript.Shell").Run WScript.Arguments(0), 1, False
Else
  MsgBox "This BIOS is not for your Notebook PC.", 48, "WinPhlash"
End If
