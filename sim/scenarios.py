"""The simulated ZR-45 machines and what a run of vadrel.exe must leave on each.

One table: every scenario is the default machine (a ZR-45 that needs the repair)
with a few settings changed, the command line, and the expected outcome. The tool
(zr45.py) builds the machine from the settings; the end-to-end suite runs every
scenario but those marked e2e=False and checks the expectations.

Machine settings (defaults in MACHINE):
  model            12-byte standard model field of the platform controller's reply
  extended         None, or (extended length byte, continuation bytes)
  reply_length     bytes the controller returns (the tool insists on 128)
  controller       "running" | "stopped" (interface registered, driver not started) | "absent"
  driver_version   the controller's "DriverVersion"
  tpm_ids          hardware ids of the present ACPI TPM device; None: no device
  stale_tpm        True: a TPM device that left (switched off in the firmware, or
                   replaced) is kept, not present, with ACPI\\IFX0102, bound to "other"
  stale_controller True: the interface of a controller that left (the earlier
                   board's) is kept, not present, listed before any other
  hotfixes         HotFixID rows WMI reports for Win32_QuickFixEngineering
  wmi_latency_ms   milliseconds WMI's provider takes to answer a query (0: at once)
  windows          "win7" (workstation) | "server" (ProductType ServerNT) | a Wine
                   version name for vadrel.exe ("win10", "winxp64", ...)
  version_doc      lines of C:\\Util\\Version.doc (CR LF endings); None: no file
  tpm_sys          installed driver image: "old" | "repaired" | "other" | None (absent)
  bound            DriverVer (a DRIVER_VER name) of the driver the TPM device is
                   bound to; "installed": the one that installed tpm_sys; None: no driver
  package          DriverVer of C:\\Windows\\INF\\tpm.inf (a DRIVER_VER name); None: no package
  payload          the package's tpm.sys: "repaired" | "old" | "other_translation"
  installer        the machine's installer (the stand-in newdev.dll in System32, with
                   Windows' rule): {"error": n} fails with n before installing,
                   {"reboot": 1} reports that a restart is needed
  user             "administrator" | "standard" (through the launcher)
  folder           the folder of vadrel.exe, where its log goes
  language         the interface language (Region and Language's display
                   language): "en" | "ja"
  formats          the user locale (Formats), which gives the user's threads their
                   ANSI code page; None: the interface language's
  system           the system locale (language for non-Unicode programs, CP_ACP);
                   None: the interface language's. Wine 8 cannot set the interface
                   language apart from the user locale (zr45.locale_env)
  status_before    a "status" an earlier run left in the record, or None
  plant            True: a newdev.dll that leaves a marker when loaded lies beside
                   vadrel.exe, and the run puts native newdev first (as Windows does);
                   a drvstore.dll that does the same lies there on every machine
  shape            the driver images (tpm.sys and the package's): "kernel", real-shaped
                   kernel drivers that Windows loads ordinarily without resolving
                   their imports; "dll", the same linked as a DLL (an export driver),
                   whose ordinary load fails on Windows too (an import from
                   System32\\drivers): read only as image resources

Scenario keys besides machine and expect: args (command line, default /s), ui
(interactive answers), run ("second-instance"), build ("diagnostic": the build
with the debug trace on standard error; default the release build).

Expectations:
  code        exit code
  log         catalogue ids of the message lines between the start line and the
              return-code line of a silent run, read in the ANSI code page of the
              user locale (formats); None: no log file at all
  record      values of HKLM\\Software\\Kestrova\\Vadrel afterwards; a missing name
              must be absent; None: the key must not exist
  tpm_after   ProductVersion of tpm.sys afterwards (None: absent)
  requests    model-number requests the controller received from the run
  installer_call  whether the installer was called
  trace       diagnostic build: the texts of all the trace lines the run writes, in
              order (an error-text line up to its "errorcode=0x..(..), ": the
              system's text after it is Windows' own wording)
  loads       ordinary loads of tpm.sys that returned a module: the marks
              "DriverLoaded" of the machine's WDFLDR.SYS (default 0)
  pauses      (from, to, at least, less than or None): the first mark "to" on the
              stand-ins' clock after the first mark "from" comes that many
              milliseconds later
A release build writes nothing to standard output or standard error. Every run
leaves the planted DLLs unloaded and the stand-ins with nothing to find about the
tool's process ("ProcessFindings").
"""

OLD = "6.1.7600.16385"
REPAIRED = "6.1.7601.19146"
OTHER = "6.1.7601.17514"
NO_STATUS = 0xFFFFFFFF
NO_MORE_ITEMS = 259
NO_SUCH_DEVINST = 0xE000020B
# The trace's error line after an ordinary load of tpm.sys that found no file, or
# found a driver linked as a DLL: ERROR_MOD_NOT_FOUND.
MOD_NOT_FOUND = "errorcode=0x7e(126), "

# DriverVer (date, version) of the TPM driver packages a ZR-45 can have met: the
# one the machine shipped with, Windows 7 SP1's, and the one the repair installs.
# Windows 7's own packages, updates included, all carry the date 06/21/2006, so
# the version decides which is the better match.
DRIVER_VER = {
    "old": ("06/21/2006", OLD),
    "other": ("06/21/2006", OTHER),
    "repaired": ("06/21/2006", REPAIRED),
}

SUPPORTED_IMAGE = ["ZR-45MK1", "JNS", "V37.2XL12", "M00"]

MACHINE = {
    "model": "ZR-45A1234K1",
    "extended": None,
    "reply_length": 128,
    "controller": "running",
    "driver_version": "1.0.8.0",
    "tpm_ids": ["ACPI\\IFX0102", "*PNP0C31"],
    "hotfixes": ["KB2919355", "KB3133977"],
    "wmi_latency_ms": 0,
    "windows": "win7",
    "version_doc": SUPPORTED_IMAGE,
    "tpm_sys": "old",
    "bound": "installed",
    "package": "repaired",
    "payload": "repaired",
    "installer": {},
    "stale_tpm": False,
    "stale_controller": False,
    "user": "administrator",
    "folder": "C:\\Orlinth",
    "language": "en",
    "formats": None,
    "system": None,
    "status_before": None,
    "plant": False,
    "shape": "kernel",
}

# A machine that fails the model, preinstall image, hotfix and driver version checks.
FAILS_SKIPPABLE_CHECKS = {
    "model": "ZR-45E1234K1",
    "version_doc": None,
    "hotfixes": [],
    "tpm_sys": "other",
}


# The settle pause: the installer returns, the read-back's load comes 3 s later.
SETTLE = ("InstallerReturned", "DriverLoaded", 3000, None)


def installer_failed(code, error):
    """The installer fails with error after both checks of tpm.sys: message 104,
    "status" holds the error."""
    return {"code": code, "log": [104], "record": {"status": error, "code": code},
            "tpm_after": OLD, "installer_call": True, "loads": 2}


def refused(code, message, **record):
    """A stop of the checks on a machine seen for the first time."""
    return {"code": code, "log": [message], "record": {"status": NO_STATUS, "code": code, **record},
            "tpm_after": OLD}


# Both checks of tpm.sys, the installation and the read-back, each load ordinary.
REPAIRED_RUN = {"code": 0, "log": [111], "record": {"status": 0, "code": 0, "updatedver": REPAIRED},
                "tpm_after": REPAIRED, "installer_call": True, "loads": 3, "pauses": [SETTLE]}


SCENARIOS = [
    # name, what differs from MACHINE, command line, expectations
    dict(name="repair", about="a ZR-45 that needs the repair: bound to the old driver, the package is newer",
         expect=REPAIRED_RUN),
    dict(name="repair-restart", about="the installation succeeds and asks for a restart",
         machine={"installer": {"reboot": 1}},
         expect=REPAIRED_RUN | {"record": {"status": 638, "code": 0, "updatedver": REPAIRED}}),
    dict(name="repair-japanese", about="the repair with a Japanese user interface",
         machine={"language": "ja"},
         expect=REPAIRED_RUN),
    # The log's bytes are code page 932's, the user's threads' (Formats), not CP_ACP's:
    # read as 932, any other bytes would not give the message back.
    dict(name="repair-japanese-english-system",
         about="Japanese interface and formats, English for non-Unicode programs: the log in code page 932",
         machine={"language": "ja", "system": "en"},
         expect=REPAIRED_RUN),
    dict(name="folder-japanese", about="run from a folder named in Japanese on an English system: the log beside it",
         machine={"folder": "C:\\Users\\山田\\Downloads"},
         expect=REPAIRED_RUN),
    dict(name="standard-user", about="run by a standard user (Administrators deny-only)",
         machine={"user": "standard"},
         expect={"code": 1, "log": [106], "record": None, "tpm_after": OLD, "requests": 0}),
    dict(name="already-repaired", about="tpm.sys already reports the repaired build",
         machine={"tpm_sys": "repaired"},
         expect=refused(2, 108) | {"tpm_after": REPAIRED, "loads": 1}),
    dict(name="already-repaired-earlier-status", about="an earlier run left status 638; only code changes",
         machine={"tpm_sys": "repaired", "status_before": 638},
         expect=refused(2, 108) | {"tpm_after": REPAIRED, "record": {"status": 638, "code": 2}, "loads": 1}),
    dict(name="image-unsupported", about="Version.doc pairs a variant code with another image version",
         machine={"version_doc": ["ZR-45MK1", "JNS", "V37.2XL14", "M00"]},
         expect=refused(3, 116)),
    dict(name="image-missing", about="no C:\\Util\\Version.doc",
         machine={"version_doc": None},
         expect=refused(3, 116)),
    dict(name="second-instance", about="another instance holds the mutex",
         run="second-instance",
         expect={"code": 13, "log": [], "record": None, "tpm_after": OLD, "requests": 0}),
    dict(name="controller-absent", about="no platform-controller interface",
         machine={"controller": "absent"},
         expect=refused(15, 114)),
    dict(name="controller-not-started", about="the interface is registered but its driver is not running",
         machine={"controller": "stopped"},
         expect=refused(15, 114) | {"requests": 0}),
    dict(name="controller-replaced", about="a replaced board's controller interface, not present, listed first",
         machine={"stale_controller": True},
         expect=REPAIRED_RUN),
    dict(name="controller-only-stale", about="only the interface of a controller that left",
         machine={"controller": "absent", "stale_controller": True},
         expect=refused(15, 114)),
    dict(name="reply-127", about="the controller answers with 127 bytes",
         machine={"reply_length": 127},
         expect=refused(16, 104) | {"requests": 1}),
    dict(name="controller-too-old", about="DriverVersion 1.0.7.4: the request is never sent",
         machine={"driver_version": "1.0.7.4"},
         expect=refused(16, 104) | {"requests": 0}),
    dict(name="model-unsupported", about="model number ZR-45E1234K1",
         machine={"model": "ZR-45E1234K1"},
         expect=refused(17, 107) | {"requests": 1}),
    dict(name="model-extended", about="an extended model number of 15 characters never matches",
         machine={"extended": (15, "XYZW")},
         expect=refused(17, 107) | {"requests": 1}),
    dict(name="windows-server", about="Windows Server 2008 R2 (ProductType ServerNT)",
         machine={"windows": "server"},
         expect=refused(18, 105)),
    dict(name="windows-10", about="Windows 10",
         machine={"windows": "win10"},
         expect=refused(18, 105)),
    dict(name="hotfix-missing", about="WMI reports no KB3133977",
         machine={"hotfixes": ["KB2919355"]},
         expect=refused(26, 112)),
    # The tool waits for WMI's answer without a time-out.
    dict(name="repair-slow-wmi", about="WMI answers the hotfix query after 2 s: the tool waits and repairs",
         machine={"wmi_latency_ms": 2000},
         expect=REPAIRED_RUN),
    dict(name="hotfix-lower-case", about="WMI reports kb3133977 in lower case: installed (the driver is repaired already)",
         machine={"hotfixes": ["kb3133977"], "tpm_sys": "repaired"},
         expect=refused(2, 108) | {"tpm_after": REPAIRED, "loads": 1}),
    # Ten attempts, each traced with the ordinary load's error, a second apart. The
    # installer, bound when the run starts and unloaded when it ends, brackets them:
    # the run's only waits are those pauses, so at least ten seconds lie between its
    # marks; less than twenty, a missing file does not hold the run much longer.
    dict(name="diagnostic-driver-missing",
         about="no tpm.sys, the device still bound to its driver: ten load attempts, 1 s apart, traced",
         machine={"tpm_sys": None}, build="diagnostic",
         expect=refused(27, 117) | {"tpm_after": None,
                                    "pauses": [("InstallerLoaded", "InstallerUnloaded", 10000, 20000)],
                                    "trace": ["ACPI\\IFX0102"]
                                    + [t for n in range(1, 11) for t in (f"LoadLibraryW failed {n} time(s)", MOD_NOT_FOUND)]
                                    + ["LoadLibraryW failed", MOD_NOT_FOUND]}),
    dict(name="driver-other-build", about="tpm.sys reports another build",
         machine={"tpm_sys": "other"},
         expect=refused(27, 117) | {"tpm_after": OTHER, "loads": 2}),
    # The diagnostic build's trace shows each read of a real-shaped driver image
    # succeed on its first attempt, by the ordinary load: no "LoadLibraryW failed"
    # line, no pause; the machine's WDFLDR.SYS counts the loads.
    dict(name="diagnostic-other-build", about="the diagnostic build on another build: its trace, no load retried",
         machine={"tpm_sys": "other"}, build="diagnostic",
         expect=refused(27, 117) | {"tpm_after": OTHER,
                                    "trace": ["ACPI\\IFX0102", "Version not match exp:6.1.7601.19146 res:6.1.7601.17514",
                                              "Version not match exp:6.1.7600.16385 res:6.1.7601.17514"],
                                    "loads": 2}),
    dict(name="diagnostic-repair", about="the diagnostic build repairs: both checks and the read-back load at once",
         build="diagnostic",
         expect=REPAIRED_RUN | {"trace": ["ACPI\\IFX0102", "Version not match exp:6.1.7601.19146 res:6.1.7600.16385",
                                          "UpdateDriverForPlugAndPlayDevicesW success"]}),
    # Drivers linked as a DLL: Windows fails their ordinary load too, so each read,
    # the read-back included, comes from the image-resource mapping, traced with the
    # ordinary load's error; the installer still replaces the file (Windows keeps
    # nothing of a failed load).
    dict(name="diagnostic-dll-repair", about="the diagnostic build repairs a machine whose drivers are linked as a DLL",
         machine={"shape": "dll"}, build="diagnostic",
         expect=REPAIRED_RUN | {"loads": 0, "pauses": [],
                                "trace": ["ACPI\\IFX0102",
                                          "LoadLibraryW failed, read as an image resource", MOD_NOT_FOUND,
                                          "Version not match exp:6.1.7601.19146 res:6.1.7600.16385",
                                          "LoadLibraryW failed, read as an image resource", MOD_NOT_FOUND,
                                          "UpdateDriverForPlugAndPlayDevicesW success",
                                          "LoadLibraryW failed, read as an image resource", MOD_NOT_FOUND]}),
    dict(name="package-missing", about="no C:\\Windows\\INF\\tpm.inf",
         machine={"package": None},
         expect=refused(28, 113)),
    dict(name="planted-newdev-repair", about="a newdev.dll planted beside the tool is never loaded; System32's repairs",
         machine={"plant": True},
         expect=REPAIRED_RUN),
    dict(name="package-no-better",
         about="the device is bound to the package's DriverVer while tpm.sys is the old build: no better driver",
         machine={"bound": "repaired"},
         expect=installer_failed(28, NO_MORE_ITEMS)),
    dict(name="forced-no-better", about="/s /f on a repaired machine: the package is no better than the bound driver",
         machine={"tpm_sys": "repaired"}, args=["/s", "/f"],
         expect=installer_failed(28, NO_MORE_ITEMS) | {"tpm_after": REPAIRED, "requests": 0, "loads": 0}),
    dict(name="tpm-absent", about="no present device has ACPI\\IFX0102",
         machine={"tpm_ids": None},
         expect=refused(29, 107)),
    dict(name="tpm-off-in-firmware", about="only a TPM device that left has ACPI\\IFX0102",
         machine={"tpm_ids": None, "stale_tpm": True},
         expect=refused(29, 107)),
    # The installer acts on present devices only: the one that left keeps its driver.
    dict(name="tpm-replaced", about="a TPM device that left beside the present one",
         machine={"stale_tpm": True},
         expect=REPAIRED_RUN),
    # The device leaving between the check and the installation, and a refused
    # installation, are failures the installer is told to give.
    dict(name="tpm-vanished", about="the installer fails with ERROR_NO_SUCH_DEVINST",
         machine={"installer": {"error": NO_SUCH_DEVINST}},
         expect=installer_failed(29, NO_SUCH_DEVINST)),
    dict(name="installer-error", about="the installer fails with ERROR_ACCESS_DENIED",
         machine={"installer": {"error": 5}},
         expect=installer_failed(12, 5)),
    dict(name="unreadable-after-install", about="the package's tpm.sys has no ProductVersion the tool can read",
         machine={"payload": "other_translation"},
         expect={"code": 12, "log": [104], "record": {"status": 1, "code": 12},
                 "tpm_after": "unreadable", "installer_call": True, "loads": 3, "pauses": [SETTLE]}),
    dict(name="package-old-build", about="a newer package that still carries the old build: nothing is copied",
         machine={"payload": "old"},
         expect={"code": 30, "log": [104], "record": {"status": 1, "code": 30, "updatedver": OLD},
                 "tpm_after": OLD, "installer_call": True, "loads": 3, "pauses": [SETTLE]}),
    # Windows matches device ids without regard to case (Wine's own newdev.dll
    # would not: it compares them exactly and installs nothing).
    dict(name="tpm-id-lower-case", about="the device lists acpi\\ifx0102: the tool and the installer find it",
         machine={"tpm_ids": ["acpi\\ifx0102"]},
         expect=REPAIRED_RUN),
    dict(name="forced", about="/s /f repairs a machine that fails the skippable checks",
         machine=FAILS_SKIPPABLE_CHECKS, args=["/s", "/f"],
         expect=REPAIRED_RUN | {"requests": 0, "loads": 1}),
    dict(name="forced-windows-server", about="/s /f still stops on a server",
         machine=FAILS_SKIPPABLE_CHECKS | {"windows": "server"}, args=["/s", "/f"],
         expect=refused(18, 105) | {"tpm_after": OTHER, "requests": 0}),
    dict(name="force-alone", about="/f without /s changes nothing: the model check stops the run",
         machine=FAILS_SKIPPABLE_CHECKS, args=["/f"],
         expect={"code": 17, "log": None, "record": {"status": NO_STATUS, "code": 17},
                 "tpm_after": OTHER, "requests": 1}),
    dict(name="cancel", about="interactive: the user answers Cancel",
         args=[], ui=["cancel"],
         expect={"code": 11, "log": None, "record": {"status": NO_STATUS, "code": 11},
                 "tpm_after": OLD, "boxes": [110], "loads": 2}),
    dict(name="interactive-repair", about="interactive: OK, then the final box",
         args=[], ui=["ok", "ok"],
         expect=REPAIRED_RUN | {"log": None, "boxes": [110, 111]}),
]


DEFAULT = "repair"


def machine_of(scenario):
    return MACHINE | scenario.get("machine", {})


def by_name(name):
    for s in SCENARIOS:
        if s["name"] == name:
            return s
    raise KeyError(name)


def interactive_args(scenario):
    """The scenario's command line without its silent switch."""
    return [a for a in scenario.get("args", ["/s"]) if a.lower() not in ("/s", "-s")]


# One refusal's box: every refusal is shown by the same code, and the release check
# fixes each message's texts in both languages. The confirmation and the final box come
# from cancel and interactive-repair; their Japanese run makes the guide's pictures
# (docs/pictures/, make screenshots) and is left out of the suite, as only the texts differ.
_base = by_name("driver-other-build")
SCENARIOS.append(dict(name="box-117-en", about="interactive driver-other-build: box 117",
                      machine=_base["machine"], args=interactive_args(_base), ui=["ok"],
                      expect=_base["expect"] | {"log": None, "boxes": [117]}))
_b = by_name("interactive-repair")
SCENARIOS.append(dict(_b, name="interactive-repair-japanese", about=_b["about"] + " (Japanese)", e2e=False,
                      machine=_b.get("machine", {}) | {"language": "ja"}))
