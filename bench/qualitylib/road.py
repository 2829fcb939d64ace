"""The whole road: the real tallisen-server, tallisen-cli, pending jobs, the sound server."""
import contextlib
import json
import os
import re
import ssl
import subprocess
import time
import urllib.error
import urllib.request
import uuid
from pathlib import Path

# 2001-01-01T00:00:00Z, the epoch of the job file's "recordedAt".
REFERENCE_DATE = 978307200.0


class RoadError(Exception):
    pass


def wait_for_line(path, pattern, seconds, process=None):
    """The first match of pattern in the file, waiting up to seconds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            match = re.search(pattern, Path(path).read_text(errors="replace"), re.M)
        except FileNotFoundError:
            match = None
        if match:
            return match
        if process is not None and process.poll() is not None:
            break
        time.sleep(0.1)
    raise RoadError(f"no line matching {pattern!r} in {path}")


def stop(process, seconds=10):
    """Stops exactly this child: SIGTERM, then SIGKILL."""
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Server:
    """One tallisen-server on loopback with a fresh data folder and its own CA."""

    def __init__(self, build_dir, work, email, patience):
        self.work = Path(work)
        self.log = self.work / "server.log"
        self.patience = patience
        binary = Path(build_dir) / "server" / "tallisen-server"
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [str(binary), "--self-signed", "--listen", "127.0.0.1:0", "--data-dir",
                 str(self.work / "server-data"), "--sign-in-as", email],
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.url = wait_for_line(self.log, r"^Listening on (\S+)", 60 * patience, self.process)[1]
        self.ca = wait_for_line(self.log, r"^CA certificate: (.+)$", 10, self.process)[1].strip()
        self.context = ssl.create_default_context(cafile=self.ca)

    def stop(self):
        stop(self.process)

    def request(self, method, path, token=None, body=None, content_type=None, timeout=600):
        headers = {}
        if token:
            headers["Authorization"] = "Bearer " + token
        if body is not None and content_type:
            headers["Content-Type"] = content_type
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
            headers["Content-Type"] = "application/json"
        request = urllib.request.Request(self.url + path, data=body, method=method, headers=headers)
        try:
            with urllib.request.urlopen(request, context=self.context, timeout=timeout) as answer:
                return answer.status, json.loads(answer.read() or b"null")
        except urllib.error.HTTPError as error:
            text = error.read().decode(errors="replace")[:300]
            raise RoadError(f"{method} {path} answered {error.code}: {text}") from None

    def open_sign_in(self, address):
        """Opens a sign-in address as a browser would; --sign-in-as approves it."""
        subprocess.run(["curl", "-sS", "--fail", "--cacert", self.ca, "-o", os.devnull, address], check=True)

    def token(self):
        """A bearer token for the --sign-in-as account, never printed."""
        _, prepared = self.request("POST", "/auth/google/prepare")
        self.open_sign_in(prepared["url"])
        _, issued = self.request("POST", "/auth/exchange", body={"code": prepared["code"]})
        return issued["token"]


class Cli:
    """tallisen-cli with this run's private data and settings folders."""

    def __init__(self, build_dir, work, server):
        self.binary = str(Path(build_dir) / "cli" / "tallisen-cli")
        self.work = Path(work)
        self.server = server
        self.env = dict(os.environ)
        self.env.update(XDG_DATA_HOME=str(self.work / "data"), XDG_CONFIG_HOME=str(self.work / "config"),
                        XDG_CACHE_HOME=str(self.work / "cache"), SSL_CERT_FILE=server.ca)
        for name in ("data", "config", "cache"):
            (self.work / name).mkdir(mode=0o700, exist_ok=True)
        self.pending = self.work / "data" / "Tallisen" / "PendingRecordings"

    def sign_in(self):
        errors = self.work / "signin.err"
        with open(errors, "wb") as err:
            process = subprocess.Popen([self.binary, "signin", "--server", self.server.url, "--no-browser"],
                                       env=self.env, stdout=subprocess.DEVNULL, stderr=err,
                                       stdin=subprocess.DEVNULL)
        try:
            address = wait_for_line(errors, r"^Sign in at: (\S+)", 60 * self.server.patience, process)[1]
            self.server.open_sign_in(address)
            if process.wait(60 * self.server.patience) != 0:
                raise RoadError("tallisen-cli signin failed: " + errors.read_text()[-500:])
        finally:
            stop(process)

    def write_job(self, audio_m4a, user_id, recorded_at):
        """A pending job as the app leaves it after mixing; returns its id."""
        job_id = str(uuid.uuid4()).upper()
        folder = self.pending / job_id
        folder.mkdir(mode=0o700, parents=True)
        os.chmod(self.pending, 0o700)
        target = folder / "recording.m4a"
        target.write_bytes(Path(audio_m4a).read_bytes())
        os.chmod(target, 0o600)
        job = {"id": job_id, "userID": user_id.upper(), "server": self.server.url,
               "recordedAt": recorded_at - REFERENCE_DATE, "emailTo": "", "chunks": [],
               "diarizationEnabled": True}
        descriptor = os.open(folder / "job.json", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(descriptor, "w") as file:
            json.dump(job, file, separators=(",", ":"))
        return job_id

    def run(self, arguments, log_name, timeout):
        with open(self.work / (log_name + ".out"), "wb") as out, open(self.work / (log_name + ".err"), "wb") as err:
            process = subprocess.Popen([self.binary, *arguments], env=self.env, stdout=out, stderr=err,
                                       stdin=subprocess.DEVNULL)
            try:
                status = process.wait(timeout)
            except subprocess.TimeoutExpired:
                stop(process)
                raise RoadError(f"tallisen-cli {arguments[0]} took longer than {timeout} s") from None
        if status != 0:
            tail = (self.work / (log_name + ".err")).read_text(errors="replace")[-800:]
            raise RoadError(f"tallisen-cli {' '.join(arguments)} exited with {status}: {tail}")

    def record(self, play, seconds_of_audio, log_name):
        """Runs `record --speakers` while play() plays into the sound server; returns the kept
        recording and its job id."""
        patience = self.server.patience
        out_path, err_path = self.work / (log_name + ".out"), self.work / (log_name + ".err")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = subprocess.Popen(
                [self.binary, "record", "--speakers", "--email", "",
                 "--seconds", str(int(seconds_of_audio + 30 * patience))],
                env=self.env, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        try:
            wait_for_line(err_path, r"^Recording microphone \+ system audio", 60 * patience, process)
            time.sleep(1.0)
            play()
            time.sleep(1.0)
            process.send_signal(2)
            # The job folder is removed once its transcript is saved: keep a hard link to
            # the mixed recording (renamed into place whole) to find the play offset.
            kept, job_id = self.work / (log_name + ".m4a"), None
            while process.poll() is None:
                if job_id is None:
                    for found in self.pending.glob("*/recording.m4a"):
                        try:
                            os.link(found, kept)
                            job_id = found.parent.name
                        except OSError:
                            pass
                        break
                time.sleep(0.02)
            status = process.wait(900 * patience)
        finally:
            stop(process)
        if status != 0:
            raise RoadError(f"tallisen-cli record exited with {status}: {err_path.read_text()[-800:]}")
        if job_id is None:
            raise RoadError("the recorded job was never seen in the pending folder")
        return kept, job_id


def play(wav, device=None):
    command = ["paplay", str(wav)] if device is None else ["paplay", "-d", device, str(wav)]
    subprocess.run(command, check=True)


@contextlib.contextmanager
def sinks_awake(*devices):
    """Plays silence into the sinks for as long as the block runs, so their monitors
    deliver steadily from the start, as real devices do: an idle null sink's monitor
    wakes at its own pace once a stream attaches, which shifts one side against the other."""
    players = [subprocess.Popen(["pacat", "--playback", "-d", device, "/dev/zero"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for device in devices]
    try:
        time.sleep(0.5)
        yield
    finally:
        for player in players:
            stop(player)


def sound_server_running():
    return subprocess.run(["pactl", "info"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
