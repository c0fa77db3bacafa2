#!/usr/bin/python3
"""The simulated ZR-45 machine: prepares a Wine prefix as a named scenario,
runs the real vadrel.exe on it and shows what happened.

  zr45.py list                          the scenarios
  zr45.py run NAME [--ui] [--prefix DIR] [--keep]
                                        prepare, run, print the machine, the log,
                                        the registry record and the driver version
  zr45.py exec NAME PROGRAM [ARGS]      run a program of one's own on NAME's machine
  zr45.py template                      make the build's template prefix

Options: --build DIR (default $ZR45_BUILD, else ../build beside this script).
"""
import argparse
import datetime
import json
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import scenarios  # noqa: E402

CONTROLLER_INTERFACE = "{80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}"
SYSTEM_CLASS = "{4D36E97D-E325-11CE-BFC1-08002BE10318}"
SECURITY_CLASS = "{D94EE5D8-D189-4994-83D2-F68D7D41B0E6}"
ADMIN_LOCATOR = "{CB8555CC-9128-11D1-AD9B-00C04FD8FDFF}"
CONTROLLER_INSTANCE = "ROOT\\ZR45PC\\0000"
SERVICE = "zr45pc"
TPM_INSTANCE = "ACPI\\IFX0102\\4&1B3C5D7E&0"
TPM_DRIVER_KEY = SECURITY_CLASS + "\\0000"
STALE_TPM_INSTANCE = "ACPI\\IFX0102\\5&2A7F3C1&0"
STALE_CONTROLLER_INSTANCE = "ACPI\\KST0045\\0"
CCS = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet"
RECORD_KEY = "HKLM\\Software\\Kestrova\\Vadrel"
SETTINGS_KEY = "HKLM\\Software\\ZR45Sim"
TPM_BINDING_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Class\\" + TPM_DRIVER_KEY
SERVICE_KEY = "HKLM\\System\\CurrentControlSet\\Services\\" + SERVICE
TOOL_DIR = "C:\\Orlinth"         # programs run with exec
SIM_DIR = "C:\\zr45sim"          # the simulation's own programs
MUTEX = "Kestrova_Orlinth_Mutex"
PLANTED_MARKER = SIM_DIR + "\\planted-{}.loaded"   # left by a planted DLL when loaded
PAUSE_MS = 3000                  # the tool's settle delay after the installation


class SimError(Exception):
    pass


# ---------------------------------------------------------------- build paths

def load_paths(build):
    path = os.path.join(build, "sim", "zr45-paths.json")
    if not os.path.exists(path):
        raise SimError(f"{path} is missing: configure and build {build} first (make build)")
    with open(path) as f:
        paths = json.load(f)
    paths["build"] = build
    return paths


def need(paths, key, why):
    value = paths.get(key) or ""
    if not value or not os.path.exists(value):
        raise SimError(f"{why} needs {key} ({value or 'not built'}); build it first")
    return value


# ---------------------------------------------------------------- wine calls

class Wine:
    """Wine commands in one prefix, standard output to NN-label.out and standard
    error to NN-label.err (files, never pipes: Wine's background processes would
    keep a pipe open)."""

    def __init__(self, prefix, logdir):
        self.prefix = prefix
        self.logdir = logdir
        self.count = 0

    def env(self, extra=None, display=None):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WINEDLLOVERRIDES", None)
        env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all")
        if display:
            env["DISPLAY"] = display
        env.update(extra or {})
        return env

    def _out(self, label):
        self.count += 1
        return os.path.join(self.logdir, f"{self.count:02d}-{label}.out")

    def run(self, args, label, timeout=120, env=None, check=True):
        """Runs to the end; returns (exit code, stdout file); stderr is beside it, err_of(out)."""
        out = self._out(label)
        with open(out, "wb") as o, open(err_of(out), "wb") as e:
            try:
                rc = subprocess.call(["wine"] + args, stdout=o, stderr=e,
                                     stdin=subprocess.DEVNULL, env=self.env(env), timeout=timeout)
            except subprocess.TimeoutExpired:
                raise SimError(f"wine {' '.join(args)} did not end within {timeout} s (see {out})")
        if check and label != "again" and never_started(rc, out):
            return self.run(args, "again", timeout, env, check)
        if check and rc != 0:
            raise SimError(f"wine {' '.join(args)} failed with {rc}: {tail(out)}")
        return rc, out

    def start(self, args, label, env=None):
        out = self._out(label)
        with open(out, "wb") as o, open(err_of(out), "wb") as e:
            return subprocess.Popen(["wine"] + args, stdout=o, stderr=e,
                                    stdin=subprocess.DEVNULL, env=self.env(env))

    def server(self, option):
        out = self._out("wineserver")
        with open(out, "wb") as f:
            subprocess.call(["wineserver", option], stdout=f, stderr=subprocess.STDOUT,
                            stdin=subprocess.DEVNULL, env=self.env(), timeout=60)

    def probe(self, *args):
        # The same as in run(): a start with no output at all is tried again.
        for attempt in range(3):
            rc, out = self.run([SIM_DIR + "\\zr45probe.exe"] + list(args), "probe", check=False)
            text = outputs(out)
            for line in text.splitlines():
                if line.startswith("{"):
                    return json.loads(line)
            if text.strip():
                break
        raise SimError(f"zr45probe {' '.join(args)} answered {rc}: {text[-400:]}")


def never_started(rc, out):
    """Under load a wine start now and then ends with 1 before the program runs,
    with no output or with the start's own complaint: worth once more."""
    text = outputs(out)
    return rc == 1 and (not text.strip() or "ShellExecuteEx failed" in text)


def err_of(out):
    return out[:-len(".out")] + ".err"


def outputs(out):
    """A run's standard output and standard error, one after the other."""
    return read_text(out) + read_text(err_of(out))


def tail(out, n=400):
    return outputs(out)[-n:].strip()


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def drive_c(prefix, windows_path):
    assert windows_path[:3].upper() == "C:\\"
    parts = windows_path[3:].split("\\")
    return os.path.join(prefix, "drive_c", *parts)


def host_path(prefix, windows_path):
    """The host path of a file in drive C, matching existing names without case."""
    path = os.path.join(prefix, "drive_c")
    for part in windows_path[3:].split("\\"):
        names = os.listdir(path) if os.path.isdir(path) else []
        match = [n for n in names if n.lower() == part.lower()]
        path = os.path.join(path, match[0] if match else part)
    return path


# ---------------------------------------------------------------- the template

def template(paths):
    """A booted prefix that every scenario starts from (copy_template: its registry
    and other files copied, as Wine rewrites them in place; its program images linked)."""
    tmpl = os.path.join(paths["build"], "sim", "template")
    if os.path.exists(os.path.join(tmpl, "system.reg")) and os.path.exists(tmpl + ".ready"):
        return tmpl
    shutil.rmtree(tmpl, ignore_errors=True)
    os.makedirs(tmpl)
    wine = Wine(tmpl, os.path.dirname(tmpl))
    with open(tmpl + ".boot.log", "wb") as f:
        subprocess.call(["wineboot", "-i"], stdout=f, stderr=subprocess.STDOUT,
                        stdin=subprocess.DEVNULL, env=wine.env(), timeout=300)
    wine.server("-w")
    if not os.path.exists(os.path.join(tmpl, "system.reg")):
        raise SimError(f"wineboot did not create {tmpl} (see {tmpl}.boot.log)")
    open(tmpl + ".ready", "w").close()
    return tmpl


# ---------------------------------------------------------------- the machine

def reply_bytes(m):
    """The platform controller's model-number reply: model at 40, extended
    length at 95, continuation at 96; the other bytes are not interpreted."""
    reply = bytearray((0xA5 ^ i) & 0xFF for i in range(128))
    model = m["model"].encode("ascii")[:12]
    reply[40:52] = model.ljust(12, b"\0")
    length, continuation = m["extended"] or (0, "")
    reply[95] = length
    reply[96:104] = continuation.encode("ascii")[:8].ljust(8, b"\0")
    n = m["reply_length"]
    return bytes(reply[:n]) if n <= 128 else bytes(reply) + bytes(n - 128)


class Reg:
    """A .reg file (version 5, UTF-16) for Wine's regedit."""

    def __init__(self):
        self.keys = []

    def key(self, path, **values):
        self.keys.append((path, values))

    @staticmethod
    def value(v):
        kind, data = v
        if kind == "sz":
            return '"' + data.replace("\\", "\\\\").replace('"', '\\"') + '"'
        if kind == "expand":
            return "hex(2):" + ",".join(f"{b:02x}" for b in (data + "\0").encode("utf-16-le"))
        if kind == "dword":
            return f"dword:{data:08x}"
        if kind == "binary":
            return "hex:" + ",".join(f"{b:02x}" for b in data)
        if kind == "multi":
            raw = "".join(s + "\0" for s in data).encode("utf-16-le") + b"\0\0"
            return "hex(7):" + ",".join(f"{b:02x}" for b in raw)
        raise ValueError(kind)

    def text(self):
        lines = ["Windows Registry Editor Version 5.00", ""]
        for path, values in self.keys:
            lines.append(f"[{path}]")
            for name, v in values.items():
                lines.append(("@" if name == "@" else f'"{name}"') + "=" + self.value(v))
            lines.append("")
        return "\r\n".join(lines) + "\r\n"

    def write(self, path):
        with open(path, "wb") as f:
            f.write(b"\xff\xfe" + self.text().encode("utf-16-le"))


def sz(s):
    return ("sz", s)


def dword(n):
    return ("dword", n)


def multi(items):
    return ("multi", items)


def driver_date(date):
    """A DriverVer date "mm/dd/yyyy" as Windows keeps it in a driver key: the text
    "m-d-yyyy" (DriverDate) and a FILETIME of that midnight UTC (DriverDateData)."""
    month, day, year = (int(x) for x in date.split("/"))
    ticks = (datetime.datetime(year, month, day) - datetime.datetime(1601, 1, 1)) // datetime.timedelta(microseconds=1) * 10
    return f"{month}-{day}-{year}", ticks.to_bytes(8, "little")


def bound_driver(m):
    """The DriverVer name of the driver the TPM device is bound to, or None."""
    return (m["tpm_sys"] or "old") if m["bound"] == "installed" else m["bound"]


def tpm_device(reg, m, instance=TPM_INSTANCE, driver_key=TPM_DRIVER_KEY, bound=None, phantom=False):
    """An ACPI TPM device, bound as Windows binds a device it installed: the
    device key names a driver key under the TPM's class and the service TPM;
    the driver key holds what the installation wrote (DriverVer, the INF, the
    id it matched, which Windows keeps in lower case). A phantom is a device that
    left (see sim/setupapi): Windows keeps its keys as they were."""
    ids = m["tpm_ids"] or ["ACPI\\IFX0102", "*PNP0C31"]
    device = dict(HardwareID=multi(ids), ClassGUID=sz(SECURITY_CLASS),
                  DeviceDesc=sz("Trusted Platform Module 1.2"), Mfg=sz("(Standard system devices)"))
    if phantom:
        device["Phantom"] = dword(1)
    bound = bound or bound_driver(m)
    if bound:
        date, version = scenarios.DRIVER_VER[bound]
        date_text, date_data = driver_date(date)
        device.update(Class=sz("SecurityDevices"), Driver=sz(driver_key), Service=sz("TPM"), ConfigFlags=dword(0))
        reg.key(f"{CCS}\\Control\\Class\\{SECURITY_CLASS}", **{"@": sz("Security devices"),
                                                                 "Class": sz("SecurityDevices")})
        reg.key(f"{CCS}\\Control\\Class\\{driver_key}", DriverDesc=sz("Trusted Platform Module 1.2"),
                ProviderName=sz("Microsoft"), DriverDate=sz(date_text), DriverDateData=("binary", date_data),
                DriverVersion=sz(version), InfPath=sz("tpm.inf"), InfSection=sz("Tpm_Install"),
                InfSectionExt=sz(".NT"), MatchingDeviceId=sz(ids[0].lower()))
        reg.key(f"{CCS}\\Services\\TPM", Type=dword(1), Start=dword(3), ErrorControl=dword(1),
                ImagePath=("expand", "system32\\DRIVERS\\tpm.sys"), DisplayName=sz("TPM"))
    reg.key(f"{CCS}\\Enum\\{instance}", **device)


def controller(reg, m, instance, driver_version, present):
    """A platform-controller device and its interface. The interface of a device
    that left is not active: Windows drops its volatile Control key (Linked) at
    the next start, and Wine's SetupAPI reads Linked as Windows does."""
    link = instance.replace("\\", "#") + "#" + CONTROLLER_INTERFACE
    iface = f"{CCS}\\Control\\DeviceClasses\\{CONTROLLER_INTERFACE}\\##?#{link}"
    driver_key = f"{SYSTEM_CLASS}\\{45 if present else 44:04d}"
    reg.key(iface, DeviceInstance=sz(instance))
    reg.key(iface + "\\#", SymbolicLink=sz(f"\\\\?\\{link}"))
    if present:
        reg.key(iface + "\\#\\Control", Linked=dword(1))
    reg.key(f"{CCS}\\Enum\\{instance}", HardwareID=multi([instance.rsplit("\\", 1)[0]]), ClassGUID=sz(SYSTEM_CLASS),
            Driver=sz(driver_key), Service=sz(SERVICE), DeviceDesc=sz("ZR-45 Platform Controller"),
            **({} if present else {"Phantom": dword(1)}))
    reg.key(f"{CCS}\\Control\\Class\\{driver_key}", DriverVersion=sz(driver_version),
            DriverDesc=sz("ZR-45 Platform Controller"), ProviderName=sz("Kestrova"))


def machine_registry(m, paths):
    reg = Reg()
    if m["tpm_ids"] is not None:
        tpm_device(reg, m)
    if m["stale_tpm"]:
        tpm_device(reg, m, STALE_TPM_INSTANCE, SECURITY_CLASS + "\\0001", "other", phantom=True)
    if m["controller"] != "absent":
        controller(reg, m, CONTROLLER_INSTANCE, m["driver_version"], present=True)
    if m["stale_controller"]:
        # The earlier board's controller, enumerated by ACPI: its interface comes first.
        controller(reg, m, STALE_CONTROLLER_INSTANCE, m["driver_version"], present=False)
    reg.key("HKEY_LOCAL_MACHINE\\Software\\ZR45Sim", HotFixIds=multi(m["hotfixes"]),
            WmiLatencyMs=dword(m["wmi_latency_ms"]), InstallerError=dword(m["installer"].get("error", 0)),
            InstallerReboot=dword(m["installer"].get("reboot", 0)))
    if paths.get("wmi_dll"):
        reg.key(f"HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{ADMIN_LOCATOR}\\InprocServer32",
                **{"@": sz(SIM_DIR + "\\" + os.path.basename(paths["wmi_dll"])), "ThreadingModel": sz("Both")})
    if m["windows"] == "server":
        reg.key(f"{CCS}\\Control\\ProductOptions", ProductType=sz("ServerNT"))
    elif m["windows"] not in ("win7", None):
        reg.key("HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\vadrel.exe", Version=sz(m["windows"]))
    # The machine's installer is the stand-in in System32 (Wine's own cannot
    # compare drivers): native first, as for every DLL Windows itself provides.
    # So is SetupAPI, to list devices with Windows' presence (sim/setupapi).
    reg.key("HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\vadrel.exe\\DllOverrides", newdev=sz("native"),
            setupapi=sz("native"))
    reg.key("HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\zr45probe.exe\\DllOverrides", setupapi=sz("native"))
    if m["status_before"] is not None:
        reg.key("HKEY_LOCAL_MACHINE\\Software\\Kestrova\\Vadrel", status=dword(m["status_before"]))
    return reg


def image_path(paths, name, shape="kernel"):
    key = "image_" + name + ("_dll" if shape == "dll" else "")
    return need(paths, key, f"driver image '{name}' ({shape})")


PLANTED = {"drvstore.dll": "planted_drvstore", "newdev.dll": "planted_dll"}


def planted(m):
    """The DLLs planted beside vadrel.exe on this machine."""
    return ["drvstore.dll"] + (["newdev.dll"] if m["plant"] else [])


def tool_of(scenario, paths):
    """The vadrel.exe a scenario runs: the release build, or the diagnostic one."""
    if scenario.get("build", "release") == "diagnostic":
        return need(paths, "vadrel_diagnostic", "a diagnostic run")
    return need(paths, "vadrel", "the run")


def install_files(m, paths, prefix, tool):
    def put(src, windows_path):
        dst = host_path(prefix, windows_path)  # into the folders Wine made, whatever their case
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        if os.path.lexists(dst):  # perhaps a link to the template's file
            os.remove(dst)
        shutil.copyfile(src, dst)

    put(tool, m["folder"] + "\\vadrel.exe")
    put(need(paths, "probe", "the machine"), SIM_DIR + "\\zr45probe.exe")
    put(need(paths, "driver", "the platform controller"), "C:\\windows\\system32\\drivers\\zr45pc.sys")
    if paths.get("wmi_dll") and os.path.exists(paths["wmi_dll"]):
        put(paths["wmi_dll"], SIM_DIR + "\\" + os.path.basename(paths["wmi_dll"]))
    # Programs run with exec (the fault-injection run) put these in place of tpm.sys.
    for name in ("old", "repaired", "other", "other_translation", "old_dll", "repaired_dll"):
        if paths.get("image_" + name) and os.path.exists(paths["image_" + name]):
            put(paths["image_" + name], SIM_DIR + "\\images\\" + name + ".sys")
    if m["user"] == "standard":
        put(need(paths, "launcher", "a standard user"), SIM_DIR + "\\launcher.exe")
    put(need(paths, "newdev_dll", "the machine's driver installer"), "C:\\windows\\system32\\newdev.dll")
    put(need(paths, "drvstore_dll", "the machine's driver installer"), "C:\\windows\\system32\\drvstore.dll")
    # Wine's SetupAPI goes beside, renamed, under the layer that keeps Windows' presence.
    system32 = host_path(prefix, "C:\\windows\\system32")
    shutil.copyfile(os.path.join(system32, "setupapi.dll"), os.path.join(system32, "wsetupapi.dll"))
    put(need(paths, "setupapi_dll", "device presence"), "C:\\windows\\system32\\setupapi.dll")
    put(need(paths, "wdfldr", "the ordinary load of tpm.sys"), "C:\\windows\\system32\\WDFLDR.SYS")
    # The installer loads drvstore.dll by name on every installation: a planted copy in
    # every machine shows each time whether the tool's DLL search would run it.
    for name in planted(m):
        put(need(paths, PLANTED[name], "a planted " + name), m["folder"] + "\\" + name)

    tpm_sys = host_path(prefix, "C:\\windows\\system32\\drivers\\tpm.sys")
    if os.path.exists(tpm_sys):
        os.remove(tpm_sys)
    if m["tpm_sys"]:
        put(image_path(paths, m["tpm_sys"], m["shape"]), "C:\\windows\\system32\\drivers\\tpm.sys")
    if m["package"]:
        date, version = scenarios.DRIVER_VER[m["package"]]
        with open(paths["inf_template"]) as f:
            inf = f.read().replace("@DRIVER_VERSION@", version).replace("@DRIVER_DATE@", date)
        dst = host_path(prefix, "C:\\windows\\inf\\tpm.inf")
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(inf.replace("\n", "\r\n").encode("ascii"))
        put(image_path(paths, m["payload"], m["shape"]), "C:\\windows\\inf\\tpm\\tpm.sys")
    if m["version_doc"] is not None:
        dst = drive_c(prefix, "C:\\Util\\Version.doc")
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write("".join(line + "\r\n" for line in m["version_doc"]).encode("ascii"))


def prepare(scenario, paths, prefix, wine, links=True):
    """Turns a copy of the template into the scenario's machine and starts its
    platform controller; the prefix's wineserver stays up until finish()."""
    m = scenarios.machine_of(scenario)
    tmpl = template(paths)
    if os.path.exists(prefix):
        kill_server(prefix)
        shutil.rmtree(prefix)
    copy_template(tmpl, prefix, links)
    install_files(m, paths, prefix, tool_of(scenario, paths))
    wine.server("-p")
    regfile = os.path.join(wine.logdir, "machine.reg")
    machine_registry(m, paths).write(regfile)
    wine.run(["regedit", "/S", regfile_windows(regfile)], "regedit-machine")
    if m["controller"] != "absent":
        wine.run(["sc", "create", SERVICE, "type=", "kernel", "start=", "demand",
                  "binPath=", f"C:\\windows\\system32\\drivers\\{SERVICE}.sys"], "sc-create")
        service = Reg()
        service.key(f"{CCS}\\Services\\{SERVICE}", Reply=("binary", reply_bytes(m)), RequestCount=dword(0))
        service_file = os.path.join(wine.logdir, "service.reg")
        service.write(service_file)
        wine.run(["regedit", "/S", regfile_windows(service_file)], "regedit-service")
        if m["controller"] == "running":
            wine.run([SIM_DIR + "\\zr45probe.exe", "start-service", SERVICE, "60000"], "start-service", timeout=90)
    return m


# Wine's own program images: most of the template's 0.7 GB, and nothing a run writes to.
IMAGES = (".dll", ".exe", ".sys", ".drv", ".ocx", ".cpl", ".acm", ".ax", ".tlb", ".msstyles")


def copy_template(tmpl, prefix, links=True):
    """A copy of the template whose program images are hard links to its own (a file
    put in their place replaces the link: see install_files); everything else is
    copied, as Wine rewrites its registry files in place. A prefix kept after its run
    (where Wine may yet update its files) or on another file system gets copies throughout."""
    for top, dirs, files in os.walk(tmpl):
        to = os.path.join(prefix, os.path.relpath(top, tmpl))
        os.makedirs(to)
        shutil.copystat(top, to)
        for name in dirs + files:
            src, dst = os.path.join(top, name), os.path.join(to, name)
            if os.path.islink(src):
                os.symlink(os.readlink(src), dst)
            elif name in files:
                try:
                    if not (links and name.lower().endswith(IMAGES)):
                        raise OSError
                    os.link(src, dst)
                except OSError:
                    shutil.copy2(src, dst)
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(top, d))]


def regfile_windows(host_file):
    # Wine maps the host's root as drive Z:.
    return "Z:" + host_file.replace("/", "\\")


def kill_server(prefix):
    if os.path.isdir(prefix):
        env = dict(os.environ, WINEPREFIX=prefix)
        subprocess.call(["wineserver", "-k"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                        stdin=subprocess.DEVNULL, env=env, timeout=60)
        subprocess.call(["wineserver", "-w"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                        stdin=subprocess.DEVNULL, env=env, timeout=60)


# ---------------------------------------------------------------- running the tool

def read_log(prefix, folder, codepage):
    path = host_path(prefix, folder + "\\vadrel.log")
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.decode(f"cp{codepage}", "replace")
    entries = [e for e in text.split("\r\n") if e]
    return entries


LOCALES = {"en": "en_US.UTF-8", "ja": "ja_JP.UTF-8"}
ANSI_CODE_PAGE = {"en": 1252, "ja": 932}


def locales(m):
    """The machine's interface language, user locale (Formats) and system locale
    (language for non-Unicode programs)."""
    return m["language"], m["formats"] or m["language"], m["system"] or m["language"]


def locale_env(m, paths):
    """Wine 8 reads no locale from the registry (it writes the user's there): the
    system locale, and with it CP_ACP, comes from LC_CTYPE; the user locale, the
    threads' locale and code page, and the interface language all come from
    LC_MESSAGES (dlls/ntdll/unix/env.c, init_locale). A locale the host lacks makes
    every category C, and Wine then takes both from LC_ALL alone."""
    ui, formats, system = locales(m)
    if formats != ui:
        raise SimError(f"Wine 8 takes the interface language from the user locale: {ui} with {formats} formats")
    if system == formats:
        return {"LC_ALL": LOCALES[ui]} if ui != "en" else {}
    return {"LC_ALL": "", "LANG": "", "LC_CTYPE": LOCALES[system], "LC_MESSAGES": LOCALES[formats],
            "LOCPATH": host_locales(paths)}


def host_locales(paths):
    """The host locales the split settings need, made once under the build."""
    path = os.path.join(paths["build"], "sim", "locales")
    if not os.path.isdir(path):
        work = f"{path}.{os.getpid()}"
        os.makedirs(work, exist_ok=True)
        for name in LOCALES.values():
            subprocess.call(["localedef", "-i", name.split(".")[0], "-f", "UTF-8", os.path.join(work, name)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not all(os.path.isdir(os.path.join(work, n)) for n in LOCALES.values()):
            raise SimError("localedef could not make the host locales (package locales)")
        try:
            os.rename(work, path)
        except OSError:
            shutil.rmtree(work, ignore_errors=True)  # made meanwhile by another run
    return path


def tool_state(wine):
    """What a run can change: the record, the controller's request count, the
    installer's records, the TPM device's driver key, tpm.sys's version."""
    state = wine.probe("state", "C:\\windows\\system32\\drivers\\tpm.sys", RECORD_KEY, SETTINGS_KEY, SERVICE_KEY,
                       TPM_BINDING_KEY)
    return dict(state["keys"], tpm_sys=state["version"])


def run_scenario(scenario, paths, prefix=None, ui=False, keep=False, shots=None):
    """Prepares the machine, runs vadrel.exe once, returns what it saw and left."""
    name = scenario["name"]
    rundir = os.path.join(paths["build"], "sim", "runs", name)
    shutil.rmtree(rundir, ignore_errors=True)
    os.makedirs(rundir)
    prefix = os.path.abspath(prefix or os.path.join(rundir, "prefix"))
    wine = Wine(prefix, rundir)
    result = {"name": name, "prefix": prefix, "rundir": rundir}
    t0 = time.monotonic()
    try:
        m = prepare(scenario, paths, prefix, wine, links=not keep)
        result["prepare_s"] = time.monotonic() - t0
        result["machine"] = wine.probe("machine")
        before = tool_state(wine)
        result["tpm_before"] = before["tpm_sys"]
        result["binding_before"] = before[TPM_BINDING_KEY]
        requests_before = dword_of(before[SERVICE_KEY], "RequestCount")
        args = scenario.get("args", ["/s"])
        env = locale_env(m, paths)
        # The log's code page on Windows: the user locale's (CP_THREAD_ACP).
        codepage = ANSI_CODE_PAGE[locales(m)[1]]
        if m["plant"]:
            # Native first, as Windows loads a DLL that is not a KnownDLL.
            env["WINEDLLOVERRIDES"] = "newdev=n,b"
        exe = m["folder"] + "\\vadrel.exe"
        command = [exe] + args
        if m["user"] == "standard":
            command = [SIM_DIR + "\\launcher.exe"] + command
        t1 = time.monotonic()
        if scenario.get("run") == "second-instance":
            result["exit_code"], out = run_second_instance(wine, prefix, command, env)
            err = err_of(out)
        elif scenario.get("ui") is not None and (ui or scenario.get("ui")):
            result.update(run_interactive(scenario, paths, prefix, wine, command, env,
                                          shots or os.path.join(paths["build"], "screenshots")))
            out, err = result["output"], result["output"] + ".err"
        else:
            rc, out = wine.run(command, "vadrel", timeout=180, env=env, check=False)
            # A silent run that ran at all leaves its log; a start that ended
            # before the program ran is tried again (see Wine.run).
            if rc == 1 and "/s" in args and read_log(prefix, m["folder"], codepage) is None:
                result["relaunched"] = True
                rc, out = wine.run(command, "vadrel", timeout=180, env=env, check=False)
            result["exit_code"] = rc
            err = err_of(out)
        result["run_s"] = time.monotonic() - t1
        result["stdout"], result["stderr"] = read_text(out), read_text(err)
        result["log"] = read_log(prefix, m["folder"], codepage)
        result["planted_loaded"] = [n for n in planted(m) if os.path.exists(host_path(prefix, PLANTED_MARKER.format(n)))]
        after = tool_state(wine)
        result["record"] = after[RECORD_KEY]
        result["settings"] = after[SETTINGS_KEY]
        # What the stand-ins marked and found during the run: the texts added since before it.
        result["clock"] = [(e, int(ms)) for e, ms in (t.rsplit("=", 1) for t in added(before, after, "Clock"))]
        result["findings"] = added(before, after, "ProcessFindings")
        result["binding_after"] = after[TPM_BINDING_KEY]
        result["tpm_after"] = after["tpm_sys"]
        requests_after = dword_of(after[SERVICE_KEY], "RequestCount")
        if requests_before is not None and requests_after is not None:
            result["requests"] = requests_after - requests_before
    finally:
        kill_server(prefix)
        result["total_s"] = time.monotonic() - t0
        if not keep:
            shutil.rmtree(prefix, ignore_errors=True)
    with open(os.path.join(rundir, "result.json"), "w") as f:
        json.dump(result, f, indent=1, ensure_ascii=False)
    return result


def exec_program(scenario, paths, program, args, prefix=None):
    """Prepares the machine, runs a program beside where vadrel.exe would be,
    prints its output and returns its exit code."""
    rundir = os.path.join(paths["build"], "sim", "runs", "exec-" + os.path.basename(program))
    shutil.rmtree(rundir, ignore_errors=True)
    os.makedirs(rundir)
    prefix = os.path.abspath(prefix or os.path.join(rundir, "prefix"))
    wine = Wine(prefix, rundir)
    try:
        prepare(scenario, paths, prefix, wine)
        exe = TOOL_DIR + "\\" + os.path.basename(program)
        shutil.copyfile(program, drive_c(prefix, exe))
        rc, out = wine.run([exe] + args, "exec", timeout=1800, check=False)
        if never_started(rc, out):
            rc, out = wine.run([exe] + args, "exec", timeout=1800, check=False)
        print(outputs(out))
        return rc
    finally:
        kill_server(prefix)
        shutil.rmtree(prefix, ignore_errors=True)


def strings_of(key, name):
    """The texts of a REG_MULTI_SZ value as the probe dumped it ([] when absent)."""
    v = key.get("values", {}).get(name) if key.get("exists") else None
    return v.get("strings", []) if v else []


def added(before, after, name):
    """The texts a run appended to a REG_MULTI_SZ value of the settings key."""
    old = strings_of(before[SETTINGS_KEY], name)
    return strings_of(after[SETTINGS_KEY], name)[len(old):]


def dword_of(key, name):
    v = key.get("values", {}).get(name) if key.get("exists") else None
    return v.get("dword") if v else None


def run_second_instance(wine, prefix, command, env):
    """A helper holds the tool's mutex while the tool runs under the same
    wineserver; returns the tool's exit code and its stdout file."""
    ready = host_path(prefix, SIM_DIR + "\\mutex.ready")
    release = host_path(prefix, SIM_DIR + "\\mutex.release")
    holder = wine.start([SIM_DIR + "\\zr45probe.exe", "hold-mutex", MUTEX, SIM_DIR + "\\mutex.ready",
                         SIM_DIR + "\\mutex.release", "60000"], "mutex-holder")
    try:
        deadline = time.monotonic() + 30
        while not os.path.exists(ready):
            if holder.poll() is not None or time.monotonic() > deadline:
                raise SimError(f"the mutex holder did not start (exit {holder.poll()})")
            time.sleep(0.05)
        rc, out = wine.run(command, "vadrel", timeout=180, env=env, check=False)
    finally:
        open(release, "w").close()
        try:
            holder.wait(timeout=30)
        except subprocess.TimeoutExpired:
            holder.kill()
    if holder.returncode != 0:
        raise SimError(f"the mutex holder failed with {holder.returncode}")
    return rc, out


def run_interactive(scenario, paths, prefix, wine, command, env, shots):
    ui_path = os.path.join(HERE, "ui.py")
    if not os.path.exists(ui_path):
        raise SimError("interactive runs need sim/ui.py")
    import ui  # sim/ui.py
    language = scenarios.machine_of(scenario)["language"]
    return ui.run_interactive(prefix=prefix, command=command, answers=scenario.get("ui", ["ok", "ok"]),
                              env=env, shots=shots, label=scenario["name"], boxprobe=paths.get("boxprobe"),
                              texts=catalogue(paths)[language])


# ---------------------------------------------------------------- expectations

def catalogue(paths):
    """Message texts by id and language, from the program's own string table."""
    ids = {}
    with open(paths["resource_h"], encoding="utf-8") as f:
        for line in f:
            mm = re.match(r"#define\s+(IDS_\w+)\s+(\d+)", line)
            if mm:
                ids[mm.group(1)] = int(mm.group(2))
    texts = {"en": {}, "ja": {}}
    lang = None
    with open(paths["strings_rc"], encoding="utf-8") as f:
        for line in f:
            if line.startswith("LANGUAGE"):
                lang = "ja" if "JAPANESE" in line else "en"
            mm = re.match(r'\s*(IDS_\w+),\s*"(.*)"\s*$', line)
            if mm and lang:
                text = mm.group(2).replace('""', '"').replace("\\n", "\n")
                texts[lang][ids[mm.group(1)]] = text
    return texts


def show(result, texts=None):
    mach = result.get("machine", {})
    out = []
    p = out.append
    p(f"== scenario {result['name']}")
    if mach:
        pc = mach.get("platform_controller", {})
        p("-- the machine as the tool sees it")
        p(f"   Windows            {mach['windows']['version']}, product type {mach['windows']['product_type']}"
          f" (1 workstation, 3 server)")
        p(f"   UI language        0x{mach['language']['ui_language']:04x}, ANSI code page {mach['language']['ansi_code_page']}")
        if pc.get("present"):
            p(f"   platform ctrl.     {pc['interfaces'][0]}")
            p(f"                      DriverVersion {pc.get('driver_version')!r}, opens: {pc.get('opens')}")
            if pc.get("opens"):
                p(f"                      reply {pc.get('reply_bytes')} bytes, model field {pc.get('model_field')!r},"
                  f" extended length {pc.get('extended_length')}" if pc.get("request_ok")
                  else f"                      request failed, error {pc.get('request_error')}")
        else:
            p("   platform ctrl.     no device interface")
        devs = [d for d in mach.get("acpi_devices", []) if d.get("hardware_ids")]
        for d in devs:
            p(f"   ACPI device        {d['instance']}: {', '.join(d['hardware_ids'])}")
        if not devs:
            p("   ACPI device        none")
        wmi = mach.get("wmi", {})
        p(f"   WMI hotfixes       {', '.join(wmi.get('hotfix_ids', [])) or 'none'}"
          + (f" (error 0x{wmi['error']:08x})" if "error" in wmi else ""))
        doc = mach.get("version_doc")
        p(f"   Version.doc        {' | '.join(doc) if doc is not None else 'absent'}")
        p(f"   tpm.inf            {'present' if mach.get('tpm_inf') else 'absent'}")
    p(f"-- driver tpm.sys before: {describe_version(result.get('tpm_before'))}")
    p(f"-- TPM device bound before: {describe_binding(result.get('binding_before'))}")
    p(f"-- exit code {result.get('exit_code')}")
    for stream, title in (("stdout", "standard output"), ("stderr", "standard error")):
        lines = result.get(stream, "").splitlines()
        if lines:
            p(f"-- vadrel.exe's {title} ({len(lines)} lines)")
            for line in lines:
                p("   " + line)
    log = result.get("log")
    p("-- run log " + ("(none)" if log is None else f"({len(log)} lines)"))
    for e in log or []:
        for i, line in enumerate(e.split("\n")):
            p(("   " if i == 0 else "                          ") + line)
    rec = result.get("record", {})
    p("-- registry record HKLM\\Software\\Kestrova\\Vadrel" + ("" if rec.get("exists") else ": no key"))
    for name, v in rec.get("values", {}).items():
        if v["type"] == "REG_DWORD":
            p(f"   {name:<11} REG_DWORD  {v['dword']} (0x{v['dword']:08X})")
        else:
            p(f"   {name:<11} {v['type']:<10} {v.get('text')!r}, {v['bytes']} bytes")
    for b in result.get("boxes", []):
        p(f"-- message box: caption {b.get('caption')!r}, buttons {[x.get('text') for x in b.get('buttons', [])]},"
          f" answered {b.get('answer')}")
        for line in (b.get("text") or "").split("\n"):
            p(f"   {line}")
        p(f"   screenshot {b.get('screenshot')}")
    p(f"-- driver tpm.sys after:  {describe_version(result.get('tpm_after'))}")
    p(f"-- TPM device bound after:  {describe_binding(result.get('binding_after'))}")
    if "planted_loaded" in result:
        p(f"-- DLLs planted beside vadrel.exe that were loaded: {', '.join(result['planted_loaded']) or 'none'}")
    if "requests" in result:
        p(f"-- model-number requests the controller received: {result['requests']}")
    if result.get("clock"):
        start = result["clock"][0][1]
        p("-- the stand-ins' clock: " + ", ".join(f"{e} +{ms - start}" for e, ms in result["clock"]) + " (ms)")
    for f in result.get("findings", []):
        p(f"-- FINDING about the tool's process: {f}")
    if result.get("relaunched"):
        p("-- vadrel.exe started twice: the first wine start ended before the program ran")
    p(f"-- wall time {result.get('total_s', 0):.1f} s (machine {result.get('prepare_s', 0):.1f} s,"
      f" vadrel.exe {result.get('run_s', 0):.2f} s)")
    return "\n".join(out)


def binding(key):
    """DriverDate, DriverVersion and InfPath of a driver key as the probe dumped it, or None."""
    if not key or not key.get("exists"):
        return None
    values = key.get("values", {})
    return tuple(values.get(n, {}).get("text") for n in ("DriverDate", "DriverVersion", "InfPath"))


def describe_binding(key):
    b = binding(key)
    return "no driver" if b is None else f"DriverVer {b[0]}, {b[1]} ({b[2]})"


def describe_version(v):
    if not v or not v.get("exists"):
        return "absent"
    return f"{v.get('product_version', 'unreadable')} (fixed FILEVERSION {v.get('fixed_file_version')})"


# ---------------------------------------------------------------- command line

def default_build():
    return os.environ.get("ZR45_BUILD") or os.path.join(os.path.dirname(HERE), "build")


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=default_build())
    sub = ap.add_subparsers(dest="cmd", required=True)
    sub.add_parser("list")
    sub.add_parser("template")
    r = sub.add_parser("run")
    r.add_argument("name", nargs="?", default=scenarios.DEFAULT)
    r.add_argument("--ui", action="store_true", help="run interactively under Xvfb")
    r.add_argument("--prefix")
    r.add_argument("--keep", action="store_true", help="keep the prefix afterwards")
    r.add_argument("--shots", help="folder for screenshots")
    e = sub.add_parser("exec", help="run a program of one's own inside the scenario's machine")
    e.add_argument("name")
    e.add_argument("program")
    e.add_argument("args", nargs="*")
    e.add_argument("--prefix", help="where the machine is made (default: under the build)")
    a = ap.parse_args(argv)
    build = os.path.abspath(a.build)

    if a.cmd == "list":
        for s in scenarios.SCENARIOS:
            mode = "interactive" if s.get("ui") is not None else " ".join(s.get("args", ["/s"]))
            print(f"{s['name']:<32} {s['expect']['code']:>3}  {mode:<11} {s['about']}")
        return 0
    try:
        paths = load_paths(build)
        if a.cmd == "template":
            print(template(paths))
            return 0
        if a.cmd == "exec":
            return exec_program(scenarios.by_name(a.name), paths, os.path.abspath(a.program), a.args, a.prefix)
        texts = catalogue(paths)
        if a.cmd == "run":
            s = dict(scenarios.by_name(a.name))
            if a.ui and s.get("ui") is None:
                s["ui"] = ["ok", "ok"]
                s["args"] = scenarios.interactive_args(s)
            result = run_scenario(s, paths, prefix=a.prefix, ui=a.ui, keep=a.keep or bool(a.prefix), shots=a.shots)
            print(show(result, texts))
        return 0
    except SimError as e:
        print(f"zr45: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
