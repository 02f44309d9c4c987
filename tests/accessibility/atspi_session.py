"""A private desktop for one test: Xvfb, a session bus of its own (which starts
the accessibility bus on demand), nothing of the user's desktop."""

import os
import shutil
import subprocess
import tempfile
import time


class PrivateSession:
    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tunewell-atspi-")
        self.runtime = os.path.join(self.folder, "run")
        os.mkdir(self.runtime, 0o700)
        self.processes = []
        read_fd, write_fd = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"],
            pass_fds=[write_fd], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(xvfb)
        os.close(write_fd)
        with os.fdopen(read_fd) as display:
            number = display.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.folder,
            "DISPLAY": ":" + number,
            "XDG_RUNTIME_DIR": self.runtime,
            "LANG": "C.UTF-8",
        }
        # The sanitizer builds' settings reach the player.
        for name in ("ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"):
            if name in os.environ:
                self.env[name] = os.environ[name]
        bus = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1",
             "--address=unix:path=" + os.path.join(self.runtime, "bus")],
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.processes.append(bus)
        address = bus.stdout.readline().strip()
        if not address:
            raise RuntimeError("dbus-daemon did not start")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        # The accessibility bus is started on demand; a program that asks for it
        # while it is still starting (a busy machine) gives up for good, so it is
        # brought up, and waited for, before anything else joins the desktop.
        reply = subprocess.run(
            ["dbus-send", "--session", "--print-reply=literal", "--reply-timeout=60000",
             "--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
            env=self.env, capture_output=True, text=True, timeout=90, check=True)
        # Likewise the registry, which the program tells that it is there.
        subprocess.run(["dbus-send", "--bus=" + reply.stdout.strip(), "--print-reply",
                        "--reply-timeout=60000", "--dest=org.a11y.atspi.Registry",
                        "/org/a11y/atspi/registry", "org.freedesktop.DBus.Peer.Ping"],
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=90, check=True)

    def start(self, argv, extra_env):
        env = dict(self.env)
        env.update(extra_env)
        process = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True)
        self.processes.append(process)
        return process

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        # The bus starts the accessibility bus launcher in its own process
        # group; it ends when the session bus goes away.
        shutil.rmtree(self.folder, ignore_errors=True)


def wait_for(predicate, seconds, what):
    end = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)
