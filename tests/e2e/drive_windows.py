#!/usr/bin/env python3
"""Runs one backup the way a Windows user does, under Wine: the package unpacked into
"C:\\Glebarium\\BackupGlebarium" of a fresh Wine prefix, a sample Glebarium installation in
"C:\\Glebarium", the proxy set in the current user's Internet settings (the registry, with
`wine reg`), the real program on its own X display, driven by real keyboard and mouse
events, and the local PHP stand-in for the vendor's service behind that proxy.

  drive_windows.py --package ZIP --maker glb_make_sample.exe --holder glb_holdfile.exe
                   --helper-dll-dirs DIR:DIR --work DIR
                   [--scenario success|fault|held|pac|cancel-packing|cancel-upload|cancel-reply|cancel-declined]
                   [--check] [--screenshots DIR] [--interactive]

Scenarios: success (the reply box), fault (the service answers with a SOAP fault), held
(a farm file is held open without sharing by another Windows process: the error names it
and nothing reaches the service), pac (the success run with the proxy named by a proxy
auto-config script that the settings name, served from 127.0.0.1, instead of a static one),
and drive.py's cancel scenarios, the questions asked with Escape, Alt+F4 and the close request
that the window's close button makes. Every run also checks, with Wine's +loaddll trace, that
the program loaded nothing but its own folder's files and Windows' own DLLs; the success run
that it loaded every DLL and plugin of the package.

--screenshots DIR takes the pictures drive.py takes, named windows-*.png: the main window
(windows-main-window.png), a send in progress (windows-sending.png) and the reply box
(windows-reply-box.png) in the success run, the error box (windows-error-box.png) in the
fault run.

GLB_PROGRAM_WINEDEBUG replaces the program's Wine trace channels ("+loaddll"; keep it in the
list, e.g. "+loaddll,+winhttp", or the load checks fail).

The test's helpers (the sample maker and the file holder) are programs of the build and
find their DLLs through WINEPATH; the program under test gets no such help.
"""

import argparse
import dataclasses
import http.server
import json
import os
import re
import select
import subprocess
import sys
import threading
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import drive  # noqa: E402
from drive import BOX_TITLE, CANCEL_PLANS, FAULT_TEXT, REPLY_TEXT, TIMEOUT, Failure, log, wait_until  # noqa: E402

WINE = os.environ.get("GLB_WINE", "/usr/lib/wine/wine64")
WINESERVER = str(Path(WINE).parent / "wineserver")
INSTALL = "C:\\Glebarium\\BackupGlebarium"
SETTINGS_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
SERVICE_URL = "http://www.glebarium.com.br/web/backup_antigo.php"
HELD_FARM = "BOAESPERANCA"
# What Wine passes on from the build machine and would decide the proxy instead of the registry.
PROXY_VARIABLES = ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                   "no_proxy", "NO_PROXY")
LOADED = re.compile(r'Loaded L"((?:[^"\\]|\\.)*)" at [0-9A-Fa-f]+: (\w+)')


class WindowsSession(drive.Session):
    SHOT_PREFIX = "windows-"
    # Alt+F4 is Windows' own way to close a window; the close request is what a window
    # manager sends for the close button, and Wine turns it into the window's close command
    # (cancel-reply). On a display without a window manager a box that closes stays up for
    # about 2 s, Wine waiting for a manager to withdraw it, so "Sim" takes effect that much
    # later here: the sample's noise is larger, for the phase to last well past it.
    CANCEL_PLANS = dict(CANCEL_PLANS,
                        **{"cancel-packing": dataclasses.replace(CANCEL_PLANS["cancel-packing"], noise_mib=384),
                           "cancel-upload": dataclasses.replace(CANCEL_PLANS["cancel-upload"], noise_mib=48,
                                                                asks=(("alt+f4", "sim"),)),
                           "cancel-declined": dataclasses.replace(CANCEL_PLANS["cancel-declined"],
                                                                  asks=(("escape", "escape"), ("alt+f4", "return")))})

    def __init__(self, args):
        super().__init__(args)
        self.holder = None

    # --- Wine ------------------------------------------------------------------------
    def wine_env(self, **extra):
        env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES and k != "WINEPATH"}
        env.update(WINEPREFIX=str(self.prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   DISPLAY=self.display)
        env.update(extra)
        return env

    def helper_env(self):
        dirs = ";".join("Z:" + d for d in self.args.helper_dll_dirs.split(":") if d)
        return self.wine_env(WINEPATH=dirs)

    def wine(self, *words, env=None):
        subprocess.run([WINE, *words], env=env or self.wine_env(), check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop_all(self):
        if self.holder and self.holder.poll() is None:
            self.holder.stdin.close()
        super().stop_all()
        if getattr(self, "prefix", None) and self.prefix.exists():
            subprocess.run([WINESERVER, "-k"], env=self.wine_env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

    # --- set-up ----------------------------------------------------------------------
    def prepare(self):
        if self.work.exists():
            subprocess.run(["rm", "-rf", str(self.work)], check=True)
        self.prefix = self.work / "wine"
        self.drive_c = self.prefix / "drive_c"
        self.received = self.work / "received"
        self.received.mkdir(parents=True)
        self.arrived = self.work / "request-arrived"
        self.requests = self.work / "requests.jsonl"
        self.prefix.mkdir()
        # One server for the prefix, with no terminal: Wine's background services started by
        # the first program would otherwise hold the caller's output open.
        subprocess.run([WINESERVER, "-p"], env=self.wine_env(), check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wine("wineboot", "-i")
        self.install = self.drive_c / "Glebarium" / "BackupGlebarium"
        self.install.parent.mkdir(parents=True, exist_ok=True)
        with zipfile.ZipFile(self.args.package) as package:
            package.extractall(self.install.parent)
        self.packaged = sorted(p.relative_to(self.install) for p in self.install.rglob("*.dll"))
        self.wine(self.args.maker, "C:\\", *self.maker_options(), env=self.helper_env())
        self.staging = self.install / "tmpbackupEnviado"
        log(f"package unpacked into {INSTALL}, sample installation in C:\\Glebarium ({self.prefix})")

    def serve_pac(self, proxy_port):
        """Serves a proxy auto-config script that sends the vendor's host through the proxy."""
        script = ('function FindProxyForURL(url, host) {\n'
                  f'  if (host == "www.glebarium.com.br") return "PROXY 127.0.0.1:{proxy_port}";\n'
                  '  return "DIRECT";\n}\n').encode()
        session = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                session.pac_fetched = True
                self.send_response(200)
                self.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
                self.send_header("Content-Length", str(len(script)))
                self.end_headers()
                self.wfile.write(script)

            def log_message(self, *args):
                pass

        self.pac_fetched = False
        self.pac_server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.pac_server.serve_forever, daemon=True).start()
        return f"http://127.0.0.1:{self.pac_server.server_address[1]}/proxy.pac"

    def start_service(self):
        super().start_service()
        port = self.proxy.rsplit(":", 1)[1]
        if self.args.scenario == "pac":
            # "Use automatic configuration script", and no static proxy.
            url = self.serve_pac(port)
            self.wine("reg", "add", SETTINGS_KEY, "/v", "AutoConfigURL", "/t", "REG_SZ", "/d", url, "/f")
            self.wine("reg", "add", SETTINGS_KEY, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "0", "/f")
            log(f"proxy auto-config script {url} set in {SETTINGS_KEY}")
            return
        # What "Use a proxy server for your LAN" writes: on, the server, and the bypass list.
        self.wine("reg", "add", SETTINGS_KEY, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1", "/f")
        self.wine("reg", "add", SETTINGS_KEY, "/v", "ProxyServer", "/t", "REG_SZ", "/d", f"127.0.0.1:{port}", "/f")
        self.wine("reg", "add", SETTINGS_KEY, "/v", "ProxyOverride", "/t", "REG_SZ", "/d", "<local>", "/f")
        log(f"proxy 127.0.0.1:{port} set in {SETTINGS_KEY}")

    def start_program(self):
        self.trace = self.work / "loaddll.log"
        with open(self.trace, "w") as trace:
            self.program = self.start([WINE, INSTALL + "\\BackupGlebarium.exe"], cwd=self.install,
                                      env=self.wine_env(WINEDEBUG=os.environ.get("GLB_PROGRAM_WINEDEBUG", "+loaddll")), stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=trace)
        log("program started from " + INSTALL)

    def hold_file(self, path):
        """Another Windows process holds `path` open without sharing until the run ends."""
        windows_path = "C:\\" + str(path.relative_to(self.drive_c)).replace("/", "\\")
        self.holder = self.start([WINE, self.args.holder, windows_path, "x"], env=self.helper_env(),
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready, _, _ = select.select([self.holder.stdout], [], [], TIMEOUT)
        line = self.holder.stdout.readline().decode(errors="replace").strip() if ready else ""
        if line != "ready":
            raise Failure(f"the holder did not take {windows_path}: {line!r}")
        log(f"{windows_path} held open without sharing by another process")
        return windows_path

    # --- what the user sees ----------------------------------------------------------
    def box_text(self, box):
        """The box's text, copied with Ctrl+C as Windows' message boxes allow (its caption, text
        and buttons); Wine hands the clipboard on to the X server's."""
        self.clear_selection("clipboard")
        self.focus(box)

        def copied():
            self.xdotool("key", "ctrl+c")
            text = self.selection("clipboard")
            return text if BOX_TITLE in text else None

        return wait_until("the box's text on the clipboard", copied, interval=0.5)

    # --- checks ----------------------------------------------------------------------
    def loaded(self):
        text = self.trace.read_text(errors="replace")
        return [(m.group(1).replace("\\\\", "\\"), m.group(2)) for m in LOADED.finditer(text)]

    def verify_loads(self, every_packaged):
        loaded = self.loaded()
        self.check(len(loaded) > 0, f"Wine's trace lists what the program loaded ({len(loaded)} modules)")
        own = INSTALL.lower() + "\\"
        outside = sorted({path for path, _ in loaded
                          if not path.lower().startswith(own) and not path.lower().startswith("c:\\windows\\")})
        self.check(not outside, f"nothing loaded from outside {INSTALL} and C:\\windows: {outside}")
        native_elsewhere = sorted({path for path, kind in loaded
                                   if kind == "native" and not path.lower().startswith(own)})
        self.check(not native_elsewhere, f"every native DLL came from the package: {native_elsewhere}")
        if every_packaged:
            paths = {path.lower() for path, _ in loaded}
            unused = [str(p) for p in self.packaged
                      if (own + str(p).replace("/", "\\")).lower() not in paths]
            self.check(not unused, f"every DLL and plugin of the package was loaded; unused: {unused}")

    def verify_wire(self):
        lines = self.requests.read_text().splitlines() if self.requests.exists() else []
        self.check(len(lines) == 1, f"exactly one request reached the service ({len(lines)})")
        if not lines:
            return
        request = json.loads(lines[0])
        headers = {k.lower(): v for k, v in request["headers"].items()}
        self.check(request["method"] == "POST" and request["target"] == SERVICE_URL,
                   f"the request went to the registry's proxy as POST {SERVICE_URL} ({request['target']})")
        self.check(headers.get("host") == "www.glebarium.com.br", "its Host is the vendor's")
        self.check(headers.get("soapaction") == '"UploadBackup"', f"SOAPAction {headers.get('soapaction')}")
        self.check(headers.get("content-type") == 'text/xml; charset="utf-8"',
                   f"Content-Type {headers.get('content-type')}")
        self.check("expect" not in headers and "transfer-encoding" not in headers,
                   "no Expect, not chunked")
        self.check(int(headers.get("content-length", -1)) == request["body_length"] > 0,
                   f"Content-Length equals the body that arrived ({request['body_length']} bytes)")

    def nothing_sent(self):
        self.check(not self.requests.exists() and not (self.received / "manifest.txt").exists(),
                   "nothing reached the service")

    # --- scenarios -------------------------------------------------------------------
    def run_success(self):
        self.type_into_form()
        if self.args.screenshots:
            wait_until("the request at the service", self.arrived.exists)
            self.screenshot("sending")
        box = wait_until("the reply box", lambda: self.window(BOX_TITLE))
        self.screenshot_root("reply-box", box)
        self.check(self.staging.exists(), "the staging folder exists while the reply is shown")
        nome, cpf = self.report_received()
        count = len(self.expected_archives())
        text = self.box_text(box)
        self.check(REPLY_TEXT % count in text, f"the reply box shows the service's reply: {text!r}")
        self.check(nome == "MARIA DAS DORES", "the name reached the service upper-cased as typed")
        self.check(cpf == "12345678901", "the CPF/CNPJ reached the service as typed")
        self.verify_wire()
        self.verify_archives()
        self.dismiss(box)
        wait_until("the staging folder to go", lambda: not self.staging.exists())
        self.check(True, "the staging folder is gone after the reply")

    def run_fault(self):
        self.type_into_form()
        box = wait_until("the error box", lambda: self.window(BOX_TITLE))
        self.check(not self.staging.exists(), "the staging folder is gone when the error box appears")
        self.screenshot_root("error-box", box)
        text = self.box_text(box)
        self.check(FAULT_TEXT in text, f"the error box shows the service's fault: {text!r}")
        self.check(not (self.received / "manifest.txt").exists(), "the service stored nothing")
        self.dismiss(box)

    def run_held(self):
        folder = self.drive_c / "Glebarium" / "Fazendas" / HELD_FARM
        held = sorted(p for p in folder.iterdir() if p.is_file() and not p.name.startswith("."))[0]
        windows_path = self.hold_file(held)
        self.type_into_form()
        box = wait_until("the error box", lambda: self.window(BOX_TITLE))
        text = self.box_text(box)
        self.check(held.name in text, f"the error names the held file {held.name}: {text!r}")
        self.check("recebido" not in text.lower(), "the box reports nothing as sent")
        self.check(not self.staging.exists(), "the staging folder is gone when the error box appears")
        self.nothing_sent()
        self.dismiss(box)
        log(f"{windows_path} released")
        self.holder.stdin.close()
        self.holder.wait(timeout=TIMEOUT)

    def run(self):
        self.start_display()
        self.prepare()
        self.start_service()
        if self.args.interactive:
            log("send a backup by hand; close the window when done")
            self.start_program()
            code = self.program.wait()
            if (self.received / "manifest.txt").exists():
                self.report_received()
            return code
        self.start_program()
        if self.plan:
            if not self.run_cancel():
                self.close_with_fechar()
        else:
            {"success": self.run_success, "fault": self.run_fault, "held": self.run_held,
             "pac": self.run_success}[self.args.scenario]()
            if self.args.scenario == "pac":
                self.check(self.pac_fetched, "the program fetched the proxy auto-config script")
            self.close_with_fechar()
        self.verify_loads(every_packaged=self.args.scenario == "success")
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--package", required=True)
    parser.add_argument("--maker", required=True)
    parser.add_argument("--holder", required=True)
    parser.add_argument("--helper-dll-dirs", default="")
    parser.add_argument("--work", required=True)
    parser.add_argument("--scenario", choices=["success", "fault", "held", "pac", *CANCEL_PLANS], default="success")
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--screenshots")
    parser.add_argument("--interactive", action="store_true")
    args = parser.parse_args()
    session = WindowsSession(args)
    try:
        return session.run()
    except Failure as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    finally:
        session.stop_all()
        if getattr(session, "pac_server", None):
            session.pac_server.shutdown()


if __name__ == "__main__":
    sys.exit(main())
