# Writes "repaired" when the latest recorded run of vadrel.exe ended with 0 (repaired) or
# 2 (already repaired), after a repair followed by the driver version it read back; writes
# nothing otherwise. For the PowerShell 2.0 of Windows 7 and later.

# A 32-bit PowerShell on 64-bit Windows reads the 32-bit registry view, which lacks the
# record: the script runs itself again in the 64-bit PowerShell through the Sysnative alias.
if ($env:PROCESSOR_ARCHITEW6432 -eq 'AMD64') {
  & "$env:windir\Sysnative\WindowsPowerShell\v1.0\powershell.exe" -NoProfile -ExecutionPolicy Bypass -File $MyInvocation.MyCommand.Path
  exit $LASTEXITCODE
}
$record = Get-ItemProperty 'HKLM:\SOFTWARE\Kestrova\Vadrel' -ErrorAction SilentlyContinue
if ($record -and ($record.code -eq 0 -or $record.code -eq 2)) {
  # A repair wrote updatedver, a 520-byte REG_SZ: the text, then zeros that may come with it.
  if ($record.code -eq 0) { ("repaired " + "$($record.updatedver)".TrimEnd([char]0)).Trim() } else { 'repaired' }
}
