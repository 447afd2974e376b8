' Detection script for Configuration Manager (application, script
' installer): is the Qorlink patch that install.cmd put in place applied?
' Writes one line and exits 0 when qlpatch.exe -c patch answers 19 (this
' patch or a later one is applied); otherwise, and when the folder is not
' there, writes nothing and exits 0 (not installed). A non-zero exit would
' read as "unknown".
Option Explicit
On Error Resume Next

' The folder install.cmd copies the patch to, under %ProgramData%.
Const PatchFolder = "QlPatch03"
Const PatchApplied = 19

Dim shell, files, programData, folder, tool, code
Set shell = CreateObject("WScript.Shell")
Set files = CreateObject("Scripting.FileSystemObject")
programData = shell.Environment("PROCESS")("ProgramData")
If Err.Number = 0 And Len(programData) > 0 Then
  folder = programData & "\" & PatchFolder
  tool = folder & "\qlpatch.exe"
  If files.FileExists(tool) Then
    ' qlpatch.exe reads its description file from the current folder.
    shell.CurrentDirectory = folder
    If Err.Number = 0 Then
      code = shell.Run("""" & tool & """ -c patch", 0, True)
      If Err.Number = 0 And code = PatchApplied Then
        WScript.Echo "Qorlink patch " & PatchFolder & " is applied"
      End If
    End If
  End If
End If
WScript.Quit 0
