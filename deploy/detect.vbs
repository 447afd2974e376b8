' Detection script for Configuration Manager (application, script
' installer): is the Qorlink patch that install.cmd put in place applied?
' Writes one line and exits 0 when qlpatch.exe -c patch answers 19 (this
' patch or a later one is applied); otherwise, and when the product or the
' folder is not there, writes nothing and exits 0 (not installed). A
' non-zero exit would read as "unknown".
'
' It runs as SYSTEM, often before the package was ever installed, so it
' runs nothing from a place a standard user can write: the install folder
' comes from the product's install key in HKLM, and the tool only from the
' folder install.cmd made inside it, <install folder>\UpdateBackup\QlPatch03,
' which only SYSTEM and Administrators may change.
Option Explicit
On Error Resume Next

' The folder install.cmd copies the patch to, inside the backup folder.
Const PatchFolder = "QlPatch03"
Const PatchApplied = 19

Const InstallKey = "HKLM\SOFTWARE\Tarvex\Durirave\Install\Path"
Const InstallKey32 = "HKLM\SOFTWARE\WOW6432Node\Tarvex\Durirave\Install\Path"

Dim shell, files, product, folder, tool, code
Set shell = CreateObject("WScript.Shell")
Set files = CreateObject("Scripting.FileSystemObject")
' The product is a 32-bit program: its install values are in the 32-bit
' view, which a 32-bit script host sees in place and a 64-bit one under
' WOW6432Node. Either way it is HKLM, which only administrators may write.
If UCase(shell.Environment("PROCESS")("PROCESSOR_ARCHITECTURE")) = "X86" Then
  product = shell.RegRead(InstallKey)
  If Err.Number <> 0 Then
    Err.Clear
    product = shell.RegRead(InstallKey32)
  End If
Else
  product = shell.RegRead(InstallKey32)
End If
If Err.Number = 0 And VarType(product) = vbString Then
  ' Only a local folder (X:\...).
  If Len(product) >= 3 And Mid(product, 2, 2) = ":\" Then
    If Right(product, 1) = "\" Then product = Left(product, Len(product) - 1)
    folder = product & "\UpdateBackup\" & PatchFolder
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
End If
WScript.Quit 0
