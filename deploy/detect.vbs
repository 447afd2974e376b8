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
' which only SYSTEM and Administrators may change: it runs the tool only
' after checking that this folder, the backup folder above it and the
' tool are no links, are owned by SYSTEM or Administrators, and that
' nobody else may change them. A folder a user made or may change is
' "not detected", and the install replaces it.
'
' install.cmd and uninstall.cmd run this same script, shipped beside them
' in the package, and ask it that question before they write in those
' folders or run the tool from them, so there is one check, not a copy:
'   cscript.exe //nologo //B detect.vbs /adminsonly PATH [PATH ...]
' ends with 544 when every PATH is a folder or file that only SYSTEM and
' Administrators may change (AdminsOnly below), and with 1 otherwise. Yes
' is not 0: detection ends with 0 whatever it finds, and the script host
' ends with 0 on some errors of its own, so 0 never reads as yes. Run
' without arguments, as the fleet tool runs it, it is the detection alone.
Option Explicit
On Error Resume Next

' The folder install.cmd copies the patch to, inside the backup folder.
Const PatchFolder = "QlPatch03"
Const PatchApplied = 19

Const InstallKey = "HKLM\SOFTWARE\Tarvex\Durirave\Install\Path"
Const InstallKey32 = "HKLM\SOFTWARE\WOW6432Node\Tarvex\Durirave\Install\Path"

' Rights that change a folder or file: add files or write, add folders or
' append, delete inside, write attributes (enough to make an empty folder a
' mount point), delete, change rights, take ownership, generic all, generic
' write.
Const ChangingRights = &H500D0146
Const ReparsePoint = 1024  ' what the file system object calls an alias
' The answer to /adminsonly when only SYSTEM and Administrators may change
' every path (544: the Administrators group's RID); any other is no.
Const AdminsOnlyAnswer = 544

Dim shell, files, product, folder, tool, code, i

' SYSTEM, Administrators, TrustedInstaller and CREATOR OWNER (which stands
' for whoever makes something inside, and gives nobody anything itself).
Function Trusted(sid)
  Trusted = (sid = "S-1-5-18" Or sid = "S-1-5-32-544" Or sid = "S-1-3-0" Or _
             sid = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464")
End Function

' Whether only SYSTEM and Administrators may change the folder or file at
' path: no link, and no one else may change it.
Function AdminsOnly(path, isFolder)
  ' Errors are handled here: one passed up would resume the caller inside
  ' its If, as if the check had passed.
  On Error Resume Next
  AdminsOnly = False
  Err.Clear
  If isFolder Then
    If (files.GetFolder(path).Attributes And ReparsePoint) <> 0 Or Err.Number <> 0 Then Exit Function
  Else
    If (files.GetFile(path).Attributes And ReparsePoint) <> 0 Or Err.Number <> 0 Then Exit Function
  End If
  AdminsOnly = OnlyAdminsMayChange(path)
End Function

' AdminsOnly for a folder or a file at path; False when neither is there.
Function AdminsOnlyPath(path)
  On Error Resume Next
  AdminsOnlyPath = False
  Err.Clear
  If files.FolderExists(path) Then
    AdminsOnlyPath = AdminsOnly(path, True)
  ElseIf files.FileExists(path) Then
    AdminsOnlyPath = AdminsOnly(path, False)
  End If
End Function

' Owned by SYSTEM or Administrators, and nobody else allowed a right that
' changes it: owner and DACL read through WMI, by SID. What cannot be read
' is not trusted: the tool is then not run, the answer is "not detected",
' and the install puts a fresh folder in place.
Function OnlyAdminsMayChange(path)
  Dim wmi, setting, descriptor, entry, mask
  On Error Resume Next
  OnlyAdminsMayChange = False
  Err.Clear
  Set wmi = GetObject("winmgmts:{impersonationLevel=impersonate}!\\.\root\cimv2")
  Set setting = wmi.Get("Win32_LogicalFileSecuritySetting.Path='" & _
                        Replace(Replace(path, "\", "\\"), "'", "\'") & "'")
  If Err.Number <> 0 Then Exit Function
  If setting.GetSecurityDescriptor(descriptor) <> 0 Or Err.Number <> 0 Then Exit Function
  If Not Trusted(descriptor.Owner.SIDString) Or Err.Number <> 0 Then Exit Function
  ' SE_DACL_PRESENT: without a DACL everyone may do anything.
  If (descriptor.ControlFlags And 4) = 0 Then Exit Function
  ' A DACL given as none may be a NULL DACL, which lets everyone do
  ' anything: not trusted.
  If IsNull(descriptor.DACL) Then Exit Function
  For Each entry In descriptor.DACL
    ' An allowing entry (0) with a changing right, for anyone else.
    ' GENERIC_READ, the top bit, is taken off first: a uint32 above
    ' a Long's range cannot be masked.
    mask = entry.AccessMask
    If mask > 2147483647 Then mask = mask - 2147483648
    If entry.AceType = 0 And (mask And ChangingRights) <> 0 Then
      If Not Trusted(entry.Trustee.SIDString) Then Exit Function
    End If
  Next
  OnlyAdminsMayChange = (Err.Number = 0)
End Function

Set shell = CreateObject("WScript.Shell")
Set files = CreateObject("Scripting.FileSystemObject")
If WScript.Arguments.Count > 0 Then
  ' Asked by install.cmd or uninstall.cmd. An error here ends the script
  ' with the host's own code, never with the answer yes (resumed, an error
  ' in an If's condition would run its body).
  On Error GoTo 0
  code = 1
  If WScript.Arguments.Count >= 2 Then
    If LCase(WScript.Arguments(0)) = "/adminsonly" Then
      code = AdminsOnlyAnswer
      For i = 1 To WScript.Arguments.Count - 1
        If Not AdminsOnlyPath(WScript.Arguments(i)) Then code = 1
      Next
    End If
  End If
  WScript.Quit code
End If
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
    If files.FileExists(tool) And AdminsOnly(product & "\UpdateBackup", True) And AdminsOnly(folder, True) _
        And AdminsOnly(tool, False) Then
      ' qlpatch.exe reads its description file from the current folder.
      ' It is run from there by a relative path: the script host expands
      ' %NAME% in a command line, and the install folder's name may hold
      ' such a pair.
      shell.CurrentDirectory = folder
      If Err.Number = 0 Then
        code = shell.Run(""".\qlpatch.exe"" -c patch", 0, True)
        If Err.Number = 0 And code = PatchApplied Then
          WScript.Echo "Qorlink patch " & PatchFolder & " is applied"
        End If
      End If
    End If
  End If
End If
WScript.Quit 0
