#!/usr/bin/env python3
"""Runs one backup the way a user does: a sample Glebarium installation, a local stand-in
for the vendor's service, the real program on a real X display (Xvfb unless --interactive),
and real keyboard and mouse events.

  drive.py --program BackupGlebarium --maker glb_make_sample --work DIR
           [--scenario success|fault|live|cancel-packing|cancel-upload|cancel-reply|cancel-declined]
           [--check] [--screenshots DIR] [--interactive]

--check turns every observation into an assertion (exit status 1 on the first that fails);
without it the run prints what the service received. Everything started is stopped.

The live scenario sends an installation with one large farm file through a relay that
passes the request on at a farm link's pace, and watches the window while the archive is
packed and while the request goes out: the wait overlay's bar must change frames in both.

The cancel scenarios ask to cancel a running send, each in one of its phases, found from
outside as the live scenario finds them: while the archives are packed (cancel-packing), while
the request goes out through the relay (cancel-upload), and while the reply is awaited, the
whole request at the service (cancel-reply). "Sim" must end the send with the clean-up done and
the box that says what reached the service; after Escape the form sends again, after the
window's close request the program ends by itself. cancel-declined answers "Não" twice during
the upload, and the send must come to its usual reply.
"""

import argparse
import ctypes
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import zipfile
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
WINDOW_TITLE = "Backup Glebarium"
BOX_TITLE = "Backupglebarium"
FAULT_TEXT = "Serviço de backup indisponível no momento"
REPLY_TEXT = "Backup recebido com sucesso: %d arquivo(s)."
TIMEOUT = 60.0
LARGE_FILE_MIB = 96          # packed in about two seconds
LARGE_FARM = "SANTALUZIA"    # where glb_make_sample puts it: the last farm in the farm list
RELAY_BYTES_PER_SECOND = 4 << 20  # the request of the live scenario takes several seconds
UNPACED = 1 << 40                 # bytes a second: the relay passes everything on at once
LARGE_NOISE = "IMAGENS.DAT"       # where glb_make_sample --large-noise puts its file
CANCEL_QUESTION = "Cancelar o envio do backup?"
CANCELLED_TEXT = "Envio cancelado. O backup não foi enviado."
CANCELLED_AFTER_SENT_TEXT = ("Envio cancelado enquanto a resposta do serviço era aguardada. O backup já tinha "
                             "sido enviado por inteiro: o serviço pode tê-lo recebido.")
# The window's caption while a send runs: its share, a detail when there is one, the title.
SENDING_CAPTION = re.compile(r"^\d{1,3}% - (?:.+ - )?" + re.escape(WINDOW_TITLE) + "$")
AWAITING_CAPTION = re.compile(r"^\d{1,3}% - Aguardando a resposta do serviço - " + re.escape(WINDOW_TITLE) + "$")
REPLY_DELAY_MS = 600000           # a reply that never comes within a run


@dataclass(frozen=True)
class CancelPlan:
    """One cancel scenario: the phase of the send in which the user asks, and the questions."""
    phase: str          # "packing", "upload" or "reply"
    asks: tuple         # (how it is asked, the answer) for each question in turn: asked with
                        # "escape", "close" (the window's close request) or "alt+f4"; answered
                        # "sim", or "Não" with "escape" or "return" (the default button)
    noise_mib: int = 0  # the large farm's incompressible file
    relay_rate: int = UNPACED

    @property
    def cancelled(self):
        return self.asks[-1][1] == "sim"


CANCEL_PLANS = {
    # Packing the noise lasts seconds: far longer than the question and its answer take.
    "cancel-packing": CancelPlan("packing", (("escape", "sim"),), noise_mib=256),
    # A request of some 40 MB at 4 MiB/s: many times what the sockets on the way buffer.
    "cancel-upload": CancelPlan("upload", (("escape", "sim"),), noise_mib=32, relay_rate=4 << 20),
    "cancel-reply": CancelPlan("reply", (("close", "sim"),)),
    "cancel-declined": CancelPlan("upload", (("escape", "escape"), ("close", "return")), noise_mib=32,
                                  relay_rate=4 << 20),
}


class Failure(Exception):
    pass


def log(text):
    print(f"--> {text}", flush=True)


def wait_until(what, predicate, timeout=TIMEOUT, interval=0.05):
    """Polls `predicate` until it is true; a condition, never a fixed pause."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(interval)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


class SlowRelay:
    """A TCP relay on 127.0.0.1 in front of the service that passes what the client sends
    on at a fixed pace (what it sends back goes at once), and counts both directions."""

    def __init__(self, upstream_port, rate):
        self.upstream_port = upstream_port
        self.rate = rate
        self.sent_up = 0
        self.sent_down = 0
        self.listener = socket.socket()
        # A link's own buffer, not the megabytes that loopback connections grow to: what the
        # client has written is then little more than what went on.
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 256 * 1024)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.stopping = False
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while not self.stopping:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.upstream_port))
            threading.Thread(target=self.pump, args=(client, upstream, True), daemon=True).start()
            threading.Thread(target=self.pump, args=(upstream, client, False), daemon=True).start()

    def pump(self, source, target, paced):
        start = time.monotonic()
        moved = 0
        try:
            while True:
                data = source.recv(16384)
                if not data:
                    break
                if paced:
                    moved += len(data)
                    ahead = moved / self.rate - (time.monotonic() - start)
                    if ahead > 0:
                        time.sleep(ahead)  # the pace of the link, not a wait for an event
                target.sendall(data)
                if paced:
                    self.sent_up += len(data)
                else:
                    self.sent_down += len(data)
        except OSError:
            pass
        finally:
            for sock in (source, target):
                try:
                    sock.shutdown(socket.SHUT_WR if sock is target else socket.SHUT_RD)
                except OSError:
                    pass

    def close(self):
        self.stopping = True
        self.listener.close()


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def request_close(display, window):
    """What a window manager sends the window when its close button is pressed: the
    WM_DELETE_WINDOW message of WM_PROTOCOLS. A bare X server has no window manager. Sent
    through the X client library (libX11, which xdotool brings along)."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(_XEvent)]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(display.encode())
    if not connection:
        raise Failure(f"cannot open display {display}")
    try:
        event = _XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = int(window)
        event.xclient.message_type = x11.XInternAtom(connection, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = x11.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
        event.xclient.data[1] = 0  # CurrentTime
        if not x11.XSendEvent(connection, int(window), 0, 0, ctypes.byref(event)):
            raise Failure("the close request could not be sent")
        x11.XFlush(connection)
    finally:
        x11.XCloseDisplay(connection)


class Session:
    SHOT_PREFIX = ""  # put before every picture's name, so two programs' sets sit side by side
    CANCEL_PLANS = CANCEL_PLANS

    def __init__(self, args):
        self.args = args
        self.work = Path(args.work).resolve()
        self.procs = []
        self.display = os.environ.get("DISPLAY") if args.interactive else None
        self.plan = self.CANCEL_PLANS.get(args.scenario)

    # --- processes -------------------------------------------------------------------
    def start(self, cmd, **kw):
        proc = subprocess.Popen(cmd, **kw)
        self.procs.append(proc)
        return proc

    def stop_all(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()

    def xdotool(self, *words):
        result = subprocess.run(["xdotool", *words], env=self.xenv(), capture_output=True, text=True)
        return result.stdout.strip() if result.returncode == 0 else None

    def xenv(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        return env

    # --- set-up ----------------------------------------------------------------------
    def prepare(self):
        if self.work.exists():
            shutil.rmtree(self.work)
        self.prefix = self.work / "wine"
        self.drive_c = self.prefix / "dosdevices" / "c:"
        self.received = self.work / "received"
        self.received.mkdir(parents=True)
        self.arrived = self.work / "request-arrived"
        self.requests = self.work / "requests.jsonl"
        self.drive_c.mkdir(parents=True)
        maker = [self.args.maker, str(self.drive_c)] + self.maker_options()
        subprocess.run(maker, check=True, stdout=subprocess.DEVNULL)
        self.staging = Path(self.args.program).resolve().parent / "tmpbackupEnviado"
        if self.staging.exists():
            shutil.rmtree(self.staging)
        log(f"sample installation under {self.drive_c}")

    def maker_options(self):
        if self.args.scenario == "live":
            return ["--large-file", str(LARGE_FILE_MIB)]
        if self.plan and self.plan.noise_mib:
            return ["--large-noise", str(self.plan.noise_mib)]
        return []

    def start_service(self):
        port = free_port()
        env = dict(os.environ)
        env["GLB_BACKUP_DIR"] = str(self.received)
        env["GLB_REPLY_TEXT"] = REPLY_TEXT
        env["GLB_ARRIVED_FILE"] = str(self.arrived)
        env["GLB_REQUEST_LOG"] = str(self.requests)
        if self.args.scenario == "fault":
            env["GLB_FAULT_TEXT"] = FAULT_TEXT
        if self.args.screenshots:
            env["GLB_REPLY_DELAY_MS"] = "1500"
        if self.plan and self.plan.phase == "reply":
            env["GLB_REPLY_DELAY_MS"] = str(REPLY_DELAY_MS)
        self.service_log = open(self.work / "service.log", "w")
        self.start(["php", "-d", "post_max_size=1G", "-d", "memory_limit=2G", "-S", f"127.0.0.1:{port}",
                    str(HERE / "vendor_proxy.php")], env=env, stdout=self.service_log, stderr=subprocess.STDOUT)
        wait_until("the local service", lambda: accepts(port))
        self.proxy = f"http://127.0.0.1:{port}"
        self.relay = None
        if self.args.scenario == "live" or self.plan:
            # The phases of a send are told apart by what passes the relay.
            self.relay = SlowRelay(port, self.plan.relay_rate if self.plan else RELAY_BYTES_PER_SECOND)
            self.proxy = f"http://127.0.0.1:{self.relay.port}"
        log(f"local service for the vendor's host at {self.proxy}")

    def start_display(self):
        if self.display:
            return
        # Two X servers that start at once may both take the first free display's socket, and
        # the one that loses the display's lock then removes the winner's socket as it exits.
        # Servers of this driver start one at a time, each until it is ready.
        with open(os.path.join(os.environ.get("TMPDIR", "/tmp"), "glb-xvfb-start.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            read_fd, write_fd = os.pipe()
            self.start(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                       pass_fds=(write_fd,), stderr=subprocess.DEVNULL)
            os.close(write_fd)
            with os.fdopen(read_fd) as pipe:
                number = pipe.readline().strip()
        if not number:
            raise Failure("Xvfb did not start")
        self.display = f":{number}"
        log(f"Xvfb on display {self.display}")

    def start_program(self):
        env = self.xenv()
        env["WINEPREFIX"] = str(self.prefix)
        env["http_proxy"] = self.proxy
        env["no_proxy"] = ""
        env["QT_QPA_PLATFORM"] = "xcb"
        runtime = self.work / "runtime"
        runtime.mkdir(mode=0o700, exist_ok=True)
        env.setdefault("XDG_RUNTIME_DIR", str(runtime))
        env.pop("HTTP_PROXY", None)
        self.program = self.start([self.args.program], env=env)
        log("program started")

    # --- what a user does ------------------------------------------------------------
    def window(self, title):
        found = self.windows(title)
        return found[0] if found else None

    def windows(self, title):
        found = self.xdotool("search", "--onlyvisible", "--name", f"^{title}$")
        return found.split() if found else []

    def new_box(self, other):
        """A message box other than `other`: the next box may appear as the last one closes."""
        return next((box for box in self.windows(BOX_TITLE) if box != other), None)

    def caption(self):
        return self.xdotool("getwindowname", self.main)

    def screenshot(self, name):
        if not self.args.screenshots:
            return
        out = Path(self.args.screenshots) / f"{self.SHOT_PREFIX}{name}.png"
        out.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["import", "-display", self.display, "-window", self.main, str(out)], check=True)
        log(f"screenshot {out}")

    def screenshot_root(self, name, window):
        """A message box is a window of its own: shoot the screen part that holds both."""
        if not self.args.screenshots:
            return
        out = Path(self.args.screenshots) / f"{self.SHOT_PREFIX}{name}.png"
        geo = self.geometry(self.main)
        box = self.geometry(window)
        left = min(geo["X"], box["X"]) - 8
        top = min(geo["Y"], box["Y"]) - 8
        right = max(geo["X"] + geo["WIDTH"], box["X"] + box["WIDTH"]) + 8
        bottom = max(geo["Y"] + geo["HEIGHT"], box["Y"] + box["HEIGHT"]) + 8
        subprocess.run(["import", "-display", self.display, "-window", "root", "-crop",
                        f"{right - left}x{bottom - top}+{max(left, 0)}+{max(top, 0)}", str(out)], check=True)
        log(f"screenshot {out}")

    def geometry(self, window):
        text = self.xdotool("getwindowgeometry", "--shell", window) or ""
        values = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
        return {k: int(v) for k, v in values.items() if k in ("X", "Y", "WIDTH", "HEIGHT")}

    def type_into_form(self):
        self.main = wait_until("the main window", lambda: self.window(WINDOW_TITLE))
        self.xdotool("windowfocus", "--sync", self.main)
        wait_until("the keyboard focus on the window", lambda: self.xdotool("getwindowfocus") == self.main)
        self.xdotool("type", "--delay", "30", "maria das dores")
        self.xdotool("key", "Tab")
        self.xdotool("type", "--delay", "30", "12345678901")
        self.screenshot("main-window")
        log("typed name and CPF/CNPJ, pressing Alt+E")
        self.xdotool("key", "alt+e")

    def click_fechar(self):
        geo = self.geometry(self.main)
        # "Fechar" sits at left 374, top 275 + 7 in the client area, 74 x 23.
        self.xdotool("mousemove", str(geo["X"] + 374 + 37), str(geo["Y"] + 275 + 7 + 11))
        self.xdotool("click", "1")

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", window)
        wait_until("the keyboard focus on the window", lambda: self.xdotool("getwindowfocus") == window)

    def dismiss(self, box, key="Return"):
        self.focus(box)
        self.xdotool("key", key)
        wait_until("the box to close", lambda: box not in self.windows(BOX_TITLE))

    def selection(self, name):
        result = subprocess.run(["xclip", "-o", "-selection", name], env=self.xenv(), capture_output=True, timeout=10)
        return result.stdout.decode("utf-8", errors="replace") if result.returncode == 0 else ""

    def clear_selection(self, name):
        """Empties an X selection, so that an earlier box's text is not taken for the next one's.
        xclip keeps the empty selection until a box takes it over, then ends."""
        subprocess.run(["xclip", "-i", "-selection", name], input=b"", env=self.xenv(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)
        wait_until(f"the {name} selection emptied", lambda: self.selection(name) == "")

    def box_text(self, box):
        """The box's text. On X11 the toolkit's boxes copy nothing with Ctrl+C, but their text is
        selectable with the mouse: a triple click on its first line selects it whole, into the
        primary selection. Its first line is near the box's top, far above the buttons."""
        self.clear_selection("primary")
        geo = self.geometry(box)
        x, y = geo["X"] + geo["WIDTH"] // 2, geo["Y"] + 14

        def selected():
            self.xdotool("mousemove", str(x), str(y))
            self.xdotool("click", "--repeat", "3", "--delay", "40", "1")
            text = self.selection("primary")
            # Taken for a double click, the clicks select one word; the boxes say sentences.
            return text if " " in text.strip() else None

        return wait_until("the box's text in the primary selection", selected, interval=0.5)

    # --- checks ----------------------------------------------------------------------
    def check(self, condition, what):
        if condition:
            log(f"ok: {what}")
        elif self.args.check:
            raise Failure(what)
        else:
            log(f"NOT AS EXPECTED: {what}")

    def expected_archives(self):
        fazendas = self.drive_c / "Glebarium" / "Fazendas"
        expected = {}
        for folder in sorted(p for p in fazendas.iterdir() if p.is_dir()):
            expected[f"Backup{folder.name}.zip"] = folder
        expected["BackupFinanceiro.zip"] = self.drive_c / "Glebarium" / "Financeiro"
        return expected

    def report_received(self):
        manifest = (self.received / "manifest.txt").read_text(encoding="utf-8").splitlines()
        nome = manifest[0].split("\t", 1)[1]
        cpf = manifest[1].split("\t", 1)[1]
        print(f"\nThe service received nome={nome!r} cpf={cpf!r} and {len(manifest) - 2} archive(s):")
        for line in manifest[2:]:
            name, size, md5 = line.split("\t")
            path = self.received / name
            with zipfile.ZipFile(path) as archive:
                bad = archive.testzip()
                print(f"  {name}: {size} bytes, zip check {'ok' if bad is None else 'FAILED at ' + bad}")
                for info in archive.infolist():
                    print(f"      {info.filename:32} {info.file_size:>10} bytes -> {info.compress_size:>10}")
        print(f"The service replied: {REPLY_TEXT.replace('%d', str(len(manifest) - 2))!r}\n")
        return nome, cpf

    def verify_archives(self):
        expected = self.expected_archives()
        got = sorted(p.name for p in self.received.iterdir() if p.suffix == ".zip")
        self.check(got == sorted(expected), f"one archive per existing farm folder plus the financial one: {got}")
        for name, folder in expected.items():
            path = self.received / name
            if not path.exists():
                continue
            with zipfile.ZipFile(path) as archive:
                self.check(archive.testzip() is None, f"{name} passes the ZIP reader's CRC check")
                entries = {i.filename: archive.read(i.filename) for i in archive.infolist()}
            files = {p.name: p.read_bytes() for p in folder.iterdir() if p.is_file()}
            self.check(sorted(entries) == sorted(files), f"{name} holds exactly the plain files of {folder.name}")
            same = all(hashlib.sha256(entries[n]).digest() == hashlib.sha256(files[n]).digest()
                       for n in files if n in entries)
            self.check(same, f"{name}: every entry equals its file")

    # --- scenarios -------------------------------------------------------------------
    def run_success(self):
        self.type_into_form()
        if self.args.screenshots:
            # The overlay is painted before the upload blocks the window, so once the request
            # is at the service the screen shows the send in progress.
            wait_until("the request at the service", self.arrived.exists)
            self.screenshot("sending")
        box = wait_until("the reply box", lambda: self.window(BOX_TITLE))
        self.screenshot_root("reply-box", box)
        self.check(self.staging.exists(), "the staging folder exists while the reply is shown")
        nome, cpf = self.report_received()
        self.check(nome == "MARIA DAS DORES", "the name reached the service upper-cased as typed")
        self.check(cpf == "12345678901", "the CPF/CNPJ reached the service as typed")
        self.verify_archives()
        self.dismiss(box)
        wait_until("the staging folder to go", lambda: not self.staging.exists())
        self.check(True, "the staging folder is gone after the reply")

    def run_fault(self):
        self.type_into_form()
        box = wait_until("the error box", lambda: self.window(BOX_TITLE))
        self.check(not self.staging.exists(), "the staging folder is gone when the error box appears")
        self.screenshot_root("error-box", box)
        self.dismiss(box)
        log("pressing Alt+E again: the window must take input again")
        self.xdotool("windowfocus", "--sync", self.main)
        wait_until("the keyboard focus on the window", lambda: self.xdotool("getwindowfocus") == self.main)
        self.xdotool("key", "alt+e")
        box = wait_until("the second error box", lambda: self.window(BOX_TITLE))
        self.check(True, "the window is usable again after the error")
        self.dismiss(box)

    def window_pixels(self):
        """A digest of the main window's pixels, or None when it cannot be read."""
        result = subprocess.run(["import", "-display", self.display, "-window", self.main, "-depth", "8", "rgb:-"],
                                capture_output=True)
        return hashlib.sha256(result.stdout).hexdigest() if result.returncode == 0 and result.stdout else None

    def phase(self):
        """What the send is doing now, as seen from outside the program."""
        if self.relay.sent_down > 0:
            return "reply"
        if self.relay.sent_up > 0:
            return "upload"
        # The large farm's archive is being written (the other archives, written beside it,
        # are small): within the packing there is no event point of the send command.
        if (self.staging / f"Backup{LARGE_FARM}.zip").exists():
            return "packing"
        return "other"

    def run_live(self):
        self.type_into_form()
        # Each sample is taken between two looks at the phase and counts only when both agree.
        seen = {"packing": set(), "upload": set()}
        samples = {"packing": 0, "upload": 0}
        box = None
        deadline = time.monotonic() + TIMEOUT
        while box is None and time.monotonic() < deadline:
            before = self.phase()
            pixels = self.window_pixels()
            if pixels and before in seen and self.phase() == before:
                seen[before].add(pixels)
                samples[before] += 1
            box = self.window(BOX_TITLE)
        if box is None:
            raise Failure("timed out waiting for the reply box")
        for phase in ("packing", "upload"):
            log(f"{phase}: {samples[phase]} looks at the window, {len(seen[phase])} different pictures")
            self.check(len(seen[phase]) >= 2, f"the window kept painting (the bar moved) during {phase}")
        self.check(self.staging.exists(), "the staging folder exists while the reply is shown")
        self.report_received()
        self.verify_archives()
        self.dismiss(box)
        wait_until("the staging folder to go", lambda: not self.staging.exists())
        self.check(True, "the staging folder is gone after the reply")

    # --- cancel ----------------------------------------------------------------------
    def large_noise(self):
        return self.drive_c / "Glebarium" / "Fazendas" / LARGE_FARM / LARGE_NOISE

    def whole_requests(self):
        """The requests that reached the service whole: as long as their Content-Length says."""
        lines = self.requests.read_text().splitlines() if self.requests.exists() else []
        entries = [json.loads(line) for line in lines]
        return [e for e in entries
                if int({k.lower(): v for k, v in e["headers"].items()}.get("content-length", -1)) == e["body_length"]]

    def open_large_archive(self):
        """The large farm's archive, held open: its last size can be read once it is removed."""
        try:
            return os.open(self.staging / f"Backup{LARGE_FARM}.zip", os.O_RDONLY)
        except FileNotFoundError:
            return None

    def wait_for_phase(self, phase):
        self.large_archive = None
        if phase == "packing":
            # Until the archive is open here and the request still has not started.
            def packing():
                if self.phase() != "packing":
                    return False
                self.large_archive = self.large_archive or self.open_large_archive()
                return self.large_archive is not None and self.phase() == "packing"
            wait_until("the large farm's archive being packed", packing)
            size = os.fstat(self.large_archive).st_size
            self.check(size < self.large_noise().stat().st_size,
                       f"the large farm's archive is being written ({size >> 20} MiB so far)")
        elif phase == "upload":
            wait_until("the request going out", lambda: self.phase() == "upload" and not self.arrived.exists())
        else:
            wait_until("the whole request at the service", self.arrived.exists)
            self.check(len(self.whole_requests()) == 1, "the whole request reached the service")
            caption = wait_until("the caption of the awaited reply", lambda: self.caption()
                                 if AWAITING_CAPTION.match(self.caption() or "") else None)
            self.check(True, f"the caption tells the reply is awaited: {caption!r}")
        if phase != "reply":
            caption = wait_until("the caption of a running send",
                                 lambda: self.caption() if SENDING_CAPTION.match(self.caption() or "") else None)
            self.check(True, f"the caption shows how far the send is: {caption!r}")
        log(f"the send is in its {phase} phase")

    def ask_to_cancel(self, how):
        """Asks to cancel the running send as the user does; returns the question box."""
        self.focus(self.main)
        log(f"asking to cancel with {how}")
        if how == "close":
            request_close(self.display, self.main)
        else:
            self.xdotool("key", {"escape": "Escape", "alt+f4": "alt+F4"}[how])
        question = wait_until("the question box", lambda: self.window(BOX_TITLE))
        self.screenshot_root(f"cancel-question-{how}", question)
        text = self.box_text(question)
        self.check(CANCEL_QUESTION in text, f"the question asks whether to cancel: {text!r}")
        return question

    def decline(self, question, key):
        """Answers "Não"; the send must go on as before."""
        sent = self.relay.sent_up
        self.dismiss(question, {"escape": "Escape", "return": "Return"}[key])
        log(f"answered \"Não\" with {key}")
        # More of the request passes, or it was all out and the reply came back meanwhile.
        wait_until("the request to go on", lambda: self.relay.sent_up > sent or self.relay.sent_down > 0)
        self.check(self.program.poll() is None, "the send goes on after \"Não\"")

    def accept(self, question):
        """Answers "Sim": the focus moves from the default "Não" to "Sim", which space presses."""
        self.focus(question)
        self.xdotool("key", "Tab")
        self.xdotool("key", "space")
        log("answered \"Sim\"")
        return wait_until("the box after the cancel", lambda: self.new_box(question))

    def check_cancelled(self, box):
        self.check(not self.staging.exists(), "the staging folder is gone when the box appears")
        self.check(self.caption() == WINDOW_TITLE, f"the caption is the title again: {self.caption()!r}")
        self.screenshot_root("cancelled-box", box)
        text = self.box_text(box)
        sent = self.plan.phase == "reply"
        wanted = CANCELLED_AFTER_SENT_TEXT if sent else CANCELLED_TEXT
        self.check(wanted in text, f"the box says what reached the service: {text!r}")
        if sent:
            return
        self.check(not self.whole_requests() and not (self.received / "manifest.txt").exists(),
                   "no whole request reached the service")
        if self.plan.phase == "packing":
            self.check(self.relay.sent_up == 0, "the request never started")
            # The writer stopped at its next piece: the archive, held open here, ended short.
            size = os.fstat(self.large_archive).st_size
            full = self.large_noise().stat().st_size
            self.check(size < full, f"packing stopped partway: the large archive ended at {size >> 20} "
                                    f"of about {full >> 20} MiB")
        else:
            self.check(self.relay.sent_up > 0, f"the request had started ({self.relay.sent_up >> 20} MiB passed on)")

    def send_again(self):
        """A whole send after a cancel, on a smaller installation and a fast link."""
        self.large_noise().unlink(missing_ok=True)
        self.relay.rate = UNPACED
        self.focus(self.main)
        log("pressing Alt+E again: the form must send again")
        self.xdotool("key", "alt+e")
        self.check_reply(wait_until("the reply box", lambda: self.window(BOX_TITLE)))

    def check_reply(self, box):
        """The reply box of a send that went through: the reply shown and the backup received."""
        text = self.box_text(box)
        count = len(self.expected_archives())
        self.check(REPLY_TEXT % count in text, f"the reply box shows the service's reply: {text!r}")
        self.report_received()
        self.verify_archives()
        self.dismiss(box)
        wait_until("the staging folder to go", lambda: not self.staging.exists())
        wait_until("the caption to be the title again", lambda: self.caption() == WINDOW_TITLE)
        self.check(True, "the staging folder is gone and the caption is the title again after the reply")

    def run_cancel(self):
        """Returns True when the program has ended by itself."""
        self.type_into_form()
        self.wait_for_phase(self.plan.phase)
        for how, answer in self.plan.asks:
            question = self.ask_to_cancel(how)
            if answer != "sim":
                self.decline(question, answer)
        if not self.plan.cancelled:
            self.check_reply(wait_until("the reply box", lambda: self.window(BOX_TITLE)))
            # After "Não" to a close, the window stays: the send just ended, the form sends again.
            self.send_again()
            return False
        box = self.accept(question)
        self.check_cancelled(box)
        if self.large_archive is not None:
            os.close(self.large_archive)
        self.dismiss(box)
        if self.plan.asks[-1][0] == "escape":
            self.send_again()
            return False
        code = self.program.wait(timeout=TIMEOUT)
        self.check(code == 0, f"the program ended by itself with exit code 0 after the cancel (got {code})")
        return True

    def close_with_fechar(self):
        self.click_fechar()
        code = self.program.wait(timeout=TIMEOUT)
        self.check(code == 0, f"the program ended with exit code 0 after \"Fechar\" (got {code})")

    def run(self):
        self.prepare()
        self.start_service()
        if self.args.interactive and self.display:
            log("send a backup by hand; close the window when done")
            self.start_program()
            code = self.program.wait()
            self.report_received() if (self.received / "manifest.txt").exists() else None
            return code
        self.start_display()
        self.start_program()
        if self.plan:
            if not self.run_cancel():
                self.close_with_fechar()
            return 0
        if self.args.scenario == "success":
            self.run_success()
        elif self.args.scenario == "live":
            self.run_live()
        else:
            self.run_fault()
        self.close_with_fechar()
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True)
    parser.add_argument("--maker", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--scenario", choices=["success", "fault", "live", *CANCEL_PLANS], default="success")
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--screenshots")
    parser.add_argument("--interactive", action="store_true")
    args = parser.parse_args()
    session = Session(args)
    try:
        return session.run()
    except Failure as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    finally:
        session.stop_all()
        if getattr(session, "relay", None):
            session.relay.close()


if __name__ == "__main__":
    sys.exit(main())
