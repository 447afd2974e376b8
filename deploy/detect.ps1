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
# which only SYSTEM and Administrators may change.

# The folder install.cmd copies the patch to, inside the backup folder.
$patchFolder = 'QlPatch03'
$patchApplied = 19

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
            if (Test-Path -LiteralPath $tool -PathType Leaf) {
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
