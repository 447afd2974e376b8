# Detection script for Intune (Win32 app): is the Qorlink patch that
# install.cmd put in place applied? Writes one line and exits 0 when
# qlpatch.exe -c patch answers 19 (this patch or a later one is applied);
# otherwise, and when the product or the folder is not there, writes
# nothing and exits 0 (not installed). The same steps as detect.vbs.
#
# It runs as SYSTEM, often before the package was ever installed, so it
# runs nothing from a place a standard user can write: the install folder
# comes from the product's install key in HKLM, and the tool only from the
# folder install.cmd made inside it, <install folder>\UpdateBackup\QlPatch03,
# which only SYSTEM and Administrators may change: it runs the tool only
# after checking that this folder, the backup folder above it and the tool
# are no links, are owned by SYSTEM or Administrators, and that nobody else
# may change them. A folder a user made or may change is "not detected",
# and the install replaces it.

# The folder install.cmd copies the patch to, inside the backup folder.
$patchFolder = 'QlPatch03'
$patchApplied = 19

# Rights that change a folder or file: add files or write, add folders or
# append, delete inside, write attributes (enough to make an empty folder a
# mount point), delete, change rights, take ownership, generic all, generic
# write.
$changingRights = 0x500D0146
# SYSTEM, Administrators, TrustedInstaller and CREATOR OWNER (which stands
# for whoever makes something inside, and gives nobody anything itself).
$trusted = @('S-1-5-18', 'S-1-5-32-544', 'S-1-3-0',
             'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464')

# Whether only SYSTEM and Administrators may change the folder or file at
# $path: no link, owned by one of them, and nobody else allowed a right
# that changes it (owner and DACL read by SID). What cannot be read is not
# trusted: the tool is then not run, the answer is "not detected", and the
# install puts a fresh folder in place.
function Test-AdminsOnly([string]$path) {
    $item = Get-Item -LiteralPath $path -Force -ErrorAction Stop
    if ($item.Attributes -band [System.IO.FileAttributes]::ReparsePoint) { return $false }
    $acl = Get-Acl -LiteralPath $path -ErrorAction Stop
    $sid = [System.Security.Principal.SecurityIdentifier]
    if ($trusted -notcontains $acl.GetOwner($sid).Value) { return $false }
    foreach ($rule in $acl.GetAccessRules($true, $true, $sid)) {
        if ($rule.AccessControlType -ne [System.Security.AccessControl.AccessControlType]::Allow) { continue }
        if (([int64][int32]$rule.FileSystemRights -band $changingRights) -eq 0) { continue }
        if ($trusted -notcontains $rule.IdentityReference.Value) { return $false }
    }
    return $true
}

# Unsigned under a policy that enforces script rules (App Control for
# Business, AppLocker), PowerShell runs this script in ConstrainedLanguage
# mode, where none of the checks below can be made: "not detected", and the
# reason on the error output for the management extension's log.
if ("$($ExecutionContext.SessionState.LanguageMode)" -ne 'FullLanguage') {
    Write-Error ("detect.ps1 runs in $($ExecutionContext.SessionState.LanguageMode) mode and cannot check " +
                 'the patch: sign it with a publisher the script policy allows') -ErrorAction Continue
    exit 0
}

try {
    # The product is a 32-bit program: its install values are in the
    # 32-bit view of HKLM, whatever this script runs as.
    $machine = [Microsoft.Win32.RegistryKey]::OpenBaseKey(
        [Microsoft.Win32.RegistryHive]::LocalMachine, [Microsoft.Win32.RegistryView]::Registry32)
    $key = $machine.OpenSubKey('Software\Tarvex\Durirave\Install')
    if ($null -ne $key) {
        $product = $key.GetValue('Path')
        $key.Close()
        # Only a local folder (X:\...).
        if ($product -is [string] -and $product -match '^[A-Za-z]:\\') {
            $folder = Join-Path (Join-Path $product.TrimEnd('\') 'UpdateBackup') $patchFolder
            $tool = Join-Path $folder 'qlpatch.exe'
            # Only a folder and a tool that no one but SYSTEM and
            # Administrators may have changed is run.
            $backup = Split-Path -Parent $folder
            if ((Test-Path -LiteralPath $tool -PathType Leaf) -and (Test-AdminsOnly $backup) -and
                (Test-AdminsOnly $folder) -and (Test-AdminsOnly $tool)) {
                # qlpatch.exe reads its description file from the current folder.
                $start = New-Object System.Diagnostics.ProcessStartInfo
                $start.FileName = $tool
                $start.Arguments = '-c patch'
                $start.WorkingDirectory = $folder
                $start.UseShellExecute = $false
                $start.CreateNoWindow = $true
                $process = [System.Diagnostics.Process]::Start($start)
                $process.WaitForExit()
                if ($process.ExitCode -eq $patchApplied) {
                    Write-Output "Qorlink patch $patchFolder is applied"
                }
            }
        }
    }
} catch {
    # Anything that goes wrong means "not detected": no output.
}
exit 0
