# Detection script for Intune (Win32 app): is the Qorlink patch that
# install.cmd put in place applied? Writes one line and exits 0 when
# qlpatch.exe -c patch answers 19 (this patch or a later one is applied);
# otherwise, and when the folder is not there, writes nothing and exits 0
# (not installed). The same steps as detect.vbs.

# The folder install.cmd copies the patch to, under %ProgramData%.
$patchFolder = 'QlPatch03'
$patchApplied = 19

try {
    $folder = Join-Path $env:ProgramData $patchFolder
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
} catch {
    # Anything that goes wrong means "not detected": no output.
}
exit 0
