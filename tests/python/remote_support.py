"""Real git remotes for the tests of tesmo's remotes: a bare repository
reached as a path, file://, git:// (git daemon), smart HTTP (git
http-backend behind a small CGI server) or ssh:// (GIT_SSH_COMMAND running
the remote command locally), and the tesmo command run against them."""

import os
import shlex
import signal
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import unquote, urlsplit

from cli_support import tesmo_command

TIMEOUT = 60

# What would point git elsewhere, or have it ask somebody for a password.
_DROPPED = ("GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY",
            "GIT_ALTERNATE_OBJECT_DIRECTORIES", "GIT_NAMESPACE", "GIT_COMMON_DIR",
            "GIT_ASKPASS", "SSH_ASKPASS", "GIT_TERMINAL_PROMPT", "GIT_SSH", "GIT_SSH_COMMAND",
            "GIT_SSH_VARIANT", "GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT", "NO_COLOR")


def exec_path():
    return subprocess.run(["git", "--exec-path"], capture_output=True, text=True,
                          check=True, timeout=TIMEOUT).stdout.strip()


def base_environment(home):
    """The environment every git and tesmo here runs in: none of the
    user's git configuration (credential helpers, URL rewrites), and no
    askpass program."""
    env = {key: value for key, value in os.environ.items() if key not in _DROPPED}
    config = Path(home) / "gitconfig"
    if not config.exists():
        config.write_text("")
    env["GIT_CONFIG_GLOBAL"] = str(config)
    env["GIT_CONFIG_NOSYSTEM"] = "1"
    return env


def run_tesmo(*args, cwd, env, status=None):
    """Runs tesmo with no stdin and no controlling terminal, so that nothing
    can wait for an answer; returns the CompletedProcess (text)."""
    result = subprocess.run(tesmo_command() + [str(a) for a in args], cwd=str(cwd), env=env,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=TIMEOUT, start_new_session=True)
    if status is not None:
        assert result.returncode == status, (result.returncode, result.stdout, result.stderr)
    return result


def start_tesmo(*args, cwd, env):
    """tesmo running in its own process group (os.killpg(process.pid, ...))."""
    return subprocess.Popen(tesmo_command() + [str(a) for a in args], cwd=str(cwd), env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)


def git(git_dir, *args, env=None, check=True):
    """git on a bare repository; returns its stdout."""
    done = subprocess.run(["git", f"--git-dir={git_dir}", *[str(a) for a in args]],
                          capture_output=True, text=True, timeout=TIMEOUT, env=env)
    if check:
        assert done.returncode == 0, (args, done.stdout, done.stderr)
    return done.stdout


def bare_repository(path):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["git", "init", "--bare", "--quiet", str(path)], check=True, timeout=TIMEOUT)
    return path


def refs(git_dir):
    """refname -> object id of every ref of a repository."""
    listed = git(git_dir, "for-each-ref", "--format=%(objectname) %(refname)")
    return {name: oid for oid, name in (line.split(" ", 1) for line in listed.splitlines())}


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_for_port(port, process=None, seconds=20):
    """True once something accepts connections on the port; False when
    process ended first or the time ran out."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.02)
    return False


def stop_group(process):
    """Ends a process started with start_new_session, with its children."""
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=10)
    else:
        try:
            os.killpg(process.pid, signal.SIGKILL)  # children left behind
        except (ProcessLookupError, PermissionError):
            pass


# ----------------------------------------------------------------------------
# git daemon


class GitDaemon:
    """git daemon serving every repository under root, pushes included."""

    def __init__(self, root):
        self.root = Path(root)
        for _ in range(5):
            self.port = free_port()
            self.process = subprocess.Popen(
                ["git", "daemon", "--reuseaddr", f"--base-path={self.root}", "--export-all",
                 "--enable=receive-pack", f"--port={self.port}", "--listen=127.0.0.1",
                 str(self.root)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)
            if wait_for_port(self.port, self.process):
                return
            stop_group(self.process)
        raise RuntimeError("git daemon did not start")

    def url(self, name):
        return f"git://127.0.0.1:{self.port}/{name}"

    def stop(self):
        stop_group(self.process)


# ----------------------------------------------------------------------------
# Smart HTTP: git http-backend behind a CGI server


def _read_body(handler):
    """The request body, chunked or of a Content-Length."""
    if handler.headers.get("Transfer-Encoding", "").lower() == "chunked":
        parts = []
        while True:
            size = int(handler.rfile.readline().split(b";", 1)[0].strip() or b"0", 16)
            if size == 0:
                while handler.rfile.readline() not in (b"\r\n", b"\n", b""):
                    pass  # trailers
                return b"".join(parts)
            parts.append(handler.rfile.read(size))
            handler.rfile.readline()
    length = int(handler.headers.get("Content-Length") or 0)
    return handler.rfile.read(length) if length else b""


class _BackendHandler(BaseHTTPRequestHandler):
    server_version = "tesmo-test-http"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self._serve()

    def do_POST(self):
        self._serve()

    def _serve(self):
        if self.server.deny:
            body = b"authentication required\n"
            self.send_response(401)
            self.send_header("WWW-Authenticate", 'Basic realm="tesmo-test"')
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        body = _read_body(self)
        parts = urlsplit(self.path)
        env = dict(self.server.environment)
        env.update({
            "GIT_PROJECT_ROOT": str(self.server.root),
            "GIT_HTTP_EXPORT_ALL": "1",
            "GATEWAY_INTERFACE": "CGI/1.1",
            "SERVER_PROTOCOL": self.request_version,
            "REQUEST_METHOD": self.command,
            "PATH_INFO": unquote(parts.path),
            "QUERY_STRING": parts.query,
            "CONTENT_TYPE": self.headers.get("Content-Type", ""),
            "CONTENT_LENGTH": str(len(body)),
            "REMOTE_USER": "tester",
            "REMOTE_ADDR": self.client_address[0],
        })
        for key, value in self.headers.items():
            name = "HTTP_" + key.upper().replace("-", "_")
            if name not in ("HTTP_CONTENT_TYPE", "HTTP_CONTENT_LENGTH",
                            "HTTP_TRANSFER_ENCODING"):
                env[name] = value
        done = subprocess.run([self.server.backend], input=body, env=env,
                              capture_output=True, timeout=TIMEOUT)
        output = done.stdout
        end, skip = output.find(b"\r\n\r\n"), 4
        if end < 0:
            end, skip = output.find(b"\n\n"), 2
        if done.returncode != 0 and end < 0:
            self.send_error(500, done.stderr.decode("utf-8", "replace")[:200])
            return
        head, payload = output[:end], output[end + skip:]
        status, headers = 200, []
        for line in head.decode("latin-1").splitlines():
            key, _, value = line.partition(":")
            if key.strip().lower() == "status":
                status = int(value.split()[0])
            elif key.strip():
                headers.append((key.strip(), value.strip()))
        self.send_response(status)
        for key, value in headers:
            if key.lower() != "content-length":
                self.send_header(key, value)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)


class HttpBackend:
    """A local HTTP server running git http-backend for the repositories
    under root; with deny, one that answers 401 to every request."""

    def __init__(self, root, environment, deny=False):
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), _BackendHandler)
        self.server.daemon_threads = True
        self.server.root = Path(root)
        self.server.deny = deny
        self.server.environment = environment
        self.server.backend = os.path.join(exec_path(), "git-http-backend")
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        assert wait_for_port(self.port)

    def url(self, name):
        return f"http://127.0.0.1:{self.port}/{name}"

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=10)


# ----------------------------------------------------------------------------
# ssh: the remote command run on this machine


# Stands in for ssh: the last argument is the command git wants run on the
# host, which is ignored. With TEST_SSH_CUT_AFTER=N, a git-receive-pack is
# fed the first N bytes git sends and no more; then the receiving end is
# killed (TEST_SSH_MODE=kill, the connection is lost) or the relay stops and
# waits to be killed with everything else (TEST_SSH_MODE=hang). Either way
# TEST_SSH_MARK names a file written once the N bytes are through.
# With TEST_SSH_GATE=FILE instead, git-receive-pack has sent its refs but
# hears nothing from git until FILE exists; TEST_SSH_MARK is written as
# git's first bytes arrive.
SSH_SCRIPT = r'''
import os
import shlex
import subprocess
import sys
import time

command = sys.argv[-1]
env = dict(os.environ)
env["PATH"] = EXEC_PATH + os.pathsep + env.get("PATH", "")
cut = int(env.pop("TEST_SSH_CUT_AFTER", "0") or 0)
gate = env.pop("TEST_SSH_GATE", "")
if not command.startswith("git-receive-pack") or not (cut or gate):
    os.execvpe("sh", ["sh", "-c", command], env)
child = subprocess.Popen(shlex.split(command), stdin=subprocess.PIPE, env=env)
if gate:
    first = os.read(0, 65536)
    with open(env["TEST_SSH_MARK"], "w") as mark:
        mark.write("held")
    deadline = time.monotonic() + 60
    while not os.path.exists(gate) and time.monotonic() < deadline:
        time.sleep(0.01)
    child.stdin.write(first)
    child.stdin.flush()
    cut = 1 << 62
relayed = 0
while True:
    chunk = os.read(0, 4096)
    if not chunk:
        break
    room = cut - relayed
    child.stdin.write(chunk[:room])
    child.stdin.flush()
    relayed += min(room, len(chunk))
    if relayed >= cut:
        with open(env["TEST_SSH_MARK"], "w") as mark:
            mark.write(str(relayed))
        if env.get("TEST_SSH_MODE") == "hang":
            time.sleep(120)
        child.kill()
        child.wait()
        sys.exit(255)
child.stdin.close()
sys.exit(child.wait())
'''


def ssh_environment(directory):
    """GIT_SSH_COMMAND and its variant, for ssh:// URLs that land here."""
    script = Path(directory) / "fake_ssh.py"
    script.write_text(f"EXEC_PATH = {exec_path()!r}\n" + SSH_SCRIPT)
    return {"GIT_SSH_COMMAND": f"{shlex.quote(sys.executable)} {shlex.quote(str(script))}",
            "GIT_SSH_VARIANT": "simple"}


def ssh_url(path):
    return "ssh://localhost" + str(Path(path).resolve())


# ----------------------------------------------------------------------------
# A remote of any transport


TRANSPORTS = ("path", "file", "git", "http", "ssh")


class Remote:
    """A fresh bare repository and the URL that reaches it over a transport;
    env is the environment tesmo must run in to use it."""

    def __init__(self, transport, directory):
        self.transport = transport
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.env = base_environment(self.directory)
        self.served = self.directory / "served"
        self.bare = bare_repository(self.served / "cut.git")
        self._server = None
        if transport == "git":
            self._server = GitDaemon(self.served)
        elif transport == "http":
            git(self.bare, "config", "http.receivepack", "true")
            self._server = HttpBackend(self.served, self.env)
        elif transport == "ssh":
            self.env.update(ssh_environment(self.directory))
        self.url = self.url_of("cut.git")

    def url_of(self, name):
        """The URL of served/NAME over this transport."""
        path = self.served / name
        if self.transport == "path":
            return str(path)
        if self.transport == "file":
            return path.resolve().as_uri()
        if self.transport == "ssh":
            return ssh_url(path)
        return self._server.url(name)

    def git(self, *args, check=True):
        return git(self.bare, *args, env=self.env, check=check)

    def refs(self):
        return refs(self.bare)

    def stop(self):
        if self._server is not None:
            self._server.stop()
