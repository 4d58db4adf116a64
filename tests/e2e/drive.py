#!/usr/bin/env python3
"""Runs one backup the way a user does: a sample Glebarium installation, a local stand-in
for the vendor's service, the real program on a real X display (Xvfb unless --interactive),
and real keyboard and mouse events.

  drive.py --program BackupGlebarium --maker glb_make_sample --work DIR
           [--scenario success|fault|live] [--check] [--screenshots DIR] [--interactive]

--check turns every observation into an assertion (exit status 1 on the first that fails);
without it the run prints what the service received. Everything started is stopped.

The live scenario sends an installation with one large farm file through a relay that
passes the request on at a farm link's pace, and watches the window while the archive is
packed and while the request goes out: the wait overlay's bar must change frames in both.
"""

import argparse
import fcntl
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import zipfile
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


class Session:
    SHOT_PREFIX = ""  # put before every picture's name, so two programs' sets sit side by side

    def __init__(self, args):
        self.args = args
        self.work = Path(args.work).resolve()
        self.procs = []
        self.display = os.environ.get("DISPLAY") if args.interactive else None

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
        self.drive_c.mkdir(parents=True)
        maker = [self.args.maker, str(self.drive_c)]
        if self.args.scenario == "live":
            maker += ["--large-file", str(LARGE_FILE_MIB)]
        subprocess.run(maker, check=True, stdout=subprocess.DEVNULL)
        self.staging = Path(self.args.program).resolve().parent / "tmpbackupEnviado"
        if self.staging.exists():
            shutil.rmtree(self.staging)
        log(f"sample installation under {self.drive_c}")

    def start_service(self):
        port = free_port()
        env = dict(os.environ)
        env["GLB_BACKUP_DIR"] = str(self.received)
        env["GLB_REPLY_TEXT"] = REPLY_TEXT
        env["GLB_ARRIVED_FILE"] = str(self.arrived)
        if self.args.scenario == "fault":
            env["GLB_FAULT_TEXT"] = FAULT_TEXT
        if self.args.screenshots:
            env["GLB_REPLY_DELAY_MS"] = "1500"
        self.service_log = open(self.work / "service.log", "w")
        self.start(["php", "-d", "post_max_size=1G", "-d", "memory_limit=2G", "-S", f"127.0.0.1:{port}",
                    str(HERE / "vendor_proxy.php")], env=env, stdout=self.service_log, stderr=subprocess.STDOUT)
        wait_until("the local service", lambda: accepts(port))
        self.proxy = f"http://127.0.0.1:{port}"
        self.relay = None
        if self.args.scenario == "live":
            self.relay = SlowRelay(port, RELAY_BYTES_PER_SECOND)
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
        found = self.xdotool("search", "--onlyvisible", "--name", f"^{title}$")
        return found.split()[0] if found else None

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

    def dismiss(self, box):
        self.xdotool("windowfocus", "--sync", box)
        wait_until("the keyboard focus on the box", lambda: self.xdotool("getwindowfocus") == box)
        self.xdotool("key", "Return")
        wait_until("the box to close", lambda: self.window(BOX_TITLE) is None)

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
        if self.args.scenario == "success":
            self.run_success()
        elif self.args.scenario == "live":
            self.run_live()
        else:
            self.run_fault()
        self.click_fechar()
        code = self.program.wait(timeout=TIMEOUT)
        self.check(code == 0, f"the program ended with exit code 0 after \"Fechar\" (got {code})")
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True)
    parser.add_argument("--maker", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--scenario", choices=["success", "fault", "live"], default="success")
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
