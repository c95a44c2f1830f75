"""nginx in front of the worker pool, on a loopback port, as a site of a local package has it."""

import itertools
import shutil
import socket
import subprocess
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

CONFIG = """\
daemon off;
master_process off;
worker_processes 1;
pid {folder}/nginx.pid;
error_log {folder}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {folder}/temp/body;
    fastcgi_temp_path {folder}/temp/fastcgi;
    proxy_temp_path {folder}/temp/proxy;
    uwsgi_temp_path {folder}/temp/uwsgi;
    scgi_temp_path {folder}/temp/scgi;
    server {{
        listen 127.0.0.1:{port};
        location / {{
            fastcgi_pass {fastcgi};
            fastcgi_param SCRIPT_FILENAME /index.php;
            fastcgi_param REQUEST_METHOD $request_method;
            fastcgi_param REQUEST_URI $request_uri;
            fastcgi_connect_timeout 2s;
            fastcgi_read_timeout 5s;
        }}
    }}
}}
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def nginx_binary():
    found = shutil.which("nginx") or "/usr/sbin/nginx"
    if not Path(found).exists():
        raise RuntimeError("nginx is not installed; scripts/setup installs it")
    return found


class Nginx:
    def __init__(self, folder, fastcgi="127.0.0.1:9000"):
        self.folder = Path(folder)
        shutil.rmtree(self.folder, ignore_errors=True)
        (self.folder / "temp").mkdir(parents=True)
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/"
        config = self.folder / "nginx.conf"
        config.write_text(CONFIG.format(folder=self.folder, port=self.port, fastcgi=fastcgi))
        self.log = open(self.folder / "output.log", "wb")
        self.process = subprocess.Popen(
            [nginx_binary(), "-p", str(self.folder), "-c", str(config), "-e", str(self.folder / "error.log")],
            stdin=subprocess.DEVNULL,
            stdout=self.log,
            stderr=subprocess.STDOUT,
        )
        deadline = time.monotonic() + 10
        while not self.listening():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"nginx did not start: {(self.folder / 'output.log').read_text()}")
            time.sleep(0.05)

    def listening(self):
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", self.port)) == 0

    def fetch(self, path="/"):
        """(status, body) of one GET; a worker that cannot be reached gives nginx's 502."""
        try:
            with urllib.request.urlopen(self.url + path.lstrip("/"), timeout=10) as response:
                return response.status, response.read().decode("latin-1")
        except urllib.error.HTTPError as error:
            return error.code, ""

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def page_from_worker(port):
    """True for a page from a worker; a refused or cut connection or any other status is False."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as connection:
            connection.sendall(b"GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
            chunks = []
            while True:
                data = connection.recv(65536)
                if not data:
                    break
                chunks.append(data)
    except OSError:
        return False
    reply = b"".join(chunks)
    return reply.startswith((b"HTTP/1.1 200 ", b"HTTP/1.0 200 ")) and b"php-cgi stand-in" in reply


def paced_load(port, rate, seconds, threads=16):
    """Request i goes out at t0 + i / rate; each result is (due, sent, done, good) on the
    monotonic clock, and the wall-clock time it was sent."""
    total = int(rate * seconds)
    counter = itertools.count()
    results = [None] * total
    t0 = time.monotonic() + 0.2
    # The workers write wall-clock times; failures are set beside their ends.
    wall = time.time() - time.monotonic()

    def client():
        while (i := next(counter)) < total:
            due = t0 + i / rate
            time.sleep(max(0.0, due - time.monotonic()))
            sent = time.monotonic()
            good = page_from_worker(port)
            results[i] = (due, sent, time.monotonic(), good, sent + wall)

    pool = [threading.Thread(target=client, daemon=True) for _ in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    return t0, results
