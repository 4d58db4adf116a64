#!/usr/bin/env python3
"""The build machine's side of the tests that run under Wine.

A Windows program under Wine can start a Linux program, but it cannot read its output,
its exit code or stop it. The tests that need the build machine's tools (Python's
zipfile, unzip, PHP's SoapServer, pxlib) ask this small HTTP server on 127.0.0.1 instead:

  POST /run    body: a shell command      -> its standard output; X-Exit-Status: its status
  POST /start  body: JSON {"argv": [...], "env": {...}}  -> the process id, as text
  POST /stop   body: a process id          -> the process group ended and waited for

  wine_host.py start STATE   starts the server in the background; STATE receives its port
  wine_host.py stop STATE    ends it and every process it started

CTest runs the two as the setup and clean-up of a fixture that the Windows tests require.
"""

import http.server
import json
import os
import signal
import subprocess
import sys

children = {}


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def _reply(self, body, status=200, headers=None):
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        try:
            if self.path == "/run":
                done = subprocess.run(["/bin/sh", "-c", body.decode()], stdout=subprocess.PIPE,
                                      stdin=subprocess.DEVNULL)
                status = done.returncode if done.returncode >= 0 else -1
                self._reply(done.stdout, headers={"X-Exit-Status": str(status)})
            elif self.path == "/start":
                request = json.loads(body)
                env = dict(os.environ)
                env.update(request.get("env", {}))
                process = subprocess.Popen(request["argv"], env=env, stdin=subprocess.DEVNULL,
                                           start_new_session=True)
                children[process.pid] = process
                self._reply(str(process.pid).encode())
            elif self.path == "/stop":
                stop(children.pop(int(body), None))
                self._reply(b"")
            else:
                self._reply(b"unknown request", 404)
        except Exception as error:  # the test reads the reason
            self._reply(str(error).encode(), 500)


def stop(process):
    if process is None or process.poll() is not None:
        return
    try:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(timeout=10)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


def serve(state, ready):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)

    def end(*_):
        for process in list(children.values()):
            stop(process)
        os._exit(0)

    signal.signal(signal.SIGTERM, end)
    with open(state + ".tmp", "w") as out:
        out.write(f"{server.server_address[1]} {os.getpid()}\n")
    os.replace(state + ".tmp", state)
    os.write(ready, b"ready")
    os.close(ready)
    server.serve_forever()


def main():
    command, state = sys.argv[1], sys.argv[2]
    if command == "start":
        if os.path.exists(state):
            os.remove(state)
        wait, ready = os.pipe()
        if os.fork() == 0:
            os.close(wait)
            os.setsid()
            null = os.open(os.devnull, os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(null, fd)
            serve(state, ready)
        os.close(ready)
        # The server says so once it listens; an empty read means it died first.
        if os.read(wait, 16) != b"ready":
            sys.exit("wine_host: the server did not start")
    elif command == "stop":
        if os.path.exists(state):
            pid = int(open(state).read().split()[1])
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            os.remove(state)
    else:
        sys.exit(f"usage: {sys.argv[0]} start|stop STATE")


if __name__ == "__main__":
    main()
