"""The zarvi-audio-capture tool as a child process: commands in, parsed events and whole-sample PCM out.

    from zarvi_audio_capture import Capture

    with Capture() as capture:          # starts the tool, waits for "ready"; quits it at the end
        capture.start()
        for chunk in capture.pcm():       # bytes of whole samples: s16le, mono, 16 kHz
            ...
"""

from __future__ import annotations

import json
import os
import queue
import shutil
import subprocess
import threading
from array import array
from typing import Callable, Dict, Iterator, List, Optional, Union

__all__ = ["Capture", "CaptureError", "Event", "find_binary"]

TOOL = "zarvi-audio-capture"


class CaptureError(RuntimeError):
    """The tool could not start, or it ended without being asked to quit."""

    def __init__(self, message: str, returncode: Optional[int] = None):
        super().__init__(message)
        self.returncode = returncode


class Event(dict):
    """One event line of the tool: {"type": ..., "msg": ...}, with the two as attributes."""

    @property
    def type(self) -> str:
        return self["type"]

    @property
    def msg(self) -> str:
        return self["msg"]


def find_binary(binary: Optional[str] = None, path: Optional[str] = None) -> str:
    """The binary: the one given, else the first on PATH."""
    if binary:
        return binary
    found = shutil.which(TOOL, path=path)
    if found is None:
        raise CaptureError(f"{TOOL} was not found on PATH; install it or pass binary='/path/to/{TOOL}'")
    return found


class Capture:
    """One running tool.

    Events arrive on a reader thread; each goes to on_event (when given) and into the queue
    `events`. start() and stop() return once the tool reported the capture started or stopped.
    """

    def __init__(
        self,
        binary: Optional[str] = None,
        mic_only: bool = False,
        verbose: bool = False,
        env: Optional[Dict[str, str]] = None,
        on_event: Optional[Callable[[Event], None]] = None,
        ready_timeout: float = 10.0,
    ):
        environment = dict(os.environ if env is None else env)
        environment.pop("ZARVI_AUDIO_MIC_ONLY", None)
        environment.pop("ZARVI_AUDIO_VERBOSE", None)
        if mic_only:
            environment["ZARVI_AUDIO_MIC_ONLY"] = "1"
        if verbose:
            environment["ZARVI_AUDIO_VERBOSE"] = "1"
        self.events: "queue.Queue[Event]" = queue.Queue()
        self._on_event = on_event
        self._changed = threading.Condition()
        self._seen: List[Event] = []
        self._capturing = False
        self._quitting = False
        self._pending = b""
        try:
            self._process = subprocess.Popen(
                [find_binary(binary, environment.get("PATH"))],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                env=environment,
            )
        except OSError as error:
            raise CaptureError(f"{TOOL} could not be started: {error}") from error
        self._reader = threading.Thread(target=self._read_events, name="zarvi-events", daemon=True)
        self._reader.start()
        if not self._wait_for(lambda e: e.type == "status" and e.msg == "ready", ready_timeout):
            self._process.kill()
            self._process.wait()
            raise CaptureError(f"{TOOL} did not say ready", self._process.returncode)

    # The context manager: the tool runs inside the with block and is asked to quit at its end.
    def __enter__(self) -> "Capture":
        return self

    def __exit__(self, *exc_info) -> None:
        self.quit()

    @property
    def pid(self) -> int:
        return self._process.pid

    def _read_events(self) -> None:
        assert self._process.stderr is not None
        for raw in self._process.stderr:
            line = raw.decode("utf-8", errors="replace").rstrip("\n")
            try:
                event = Event(json.loads(line))
            except ValueError:
                event = Event(type="unparsable", msg=line)
            with self._changed:
                if event.type == "status" and event.msg == "capture_started":
                    self._capturing = True
                if event.type == "status" and event.msg == "capture_stopped":
                    self._capturing = False
                self._seen.append(event)
                self._changed.notify_all()
            self.events.put(event)
            if self._on_event is not None:
                self._on_event(event)
        with self._changed:
            self._changed.notify_all()

    def _wait_for(self, matches: Callable[[Event], bool], timeout: float, after: int = 0) -> bool:
        with self._changed:
            return self._changed.wait_for(
                lambda: any(matches(e) for e in self._seen[after:]) or self._process.poll() is not None, timeout
            ) and any(matches(e) for e in self._seen[after:])

    def _send(self, command: str) -> None:
        assert self._process.stdin is not None
        try:
            self._process.stdin.write(command.encode() + b"\n")
            self._process.stdin.flush()
        except BrokenPipeError as error:
            raise self._ended_error() from error

    def _ended_error(self) -> CaptureError:
        code = self._process.poll()
        how = f"was killed by signal {-code}" if code is not None and code < 0 else f"exited with status {code}"
        return CaptureError(f"{TOOL} {how} without being asked to quit", code)

    def _command(self, command: str, done: str, timeout: float) -> None:
        with self._changed:
            seen = len(self._seen)
        self._send(command)
        if not self._wait_for(lambda e: e.type == "status" and e.msg == done, timeout, seen):
            if self._process.poll() is not None:
                raise self._ended_error()
            raise CaptureError(f"{TOOL} did not answer {command} within {timeout} s")

    def start(self, timeout: float = 30.0) -> None:
        """Starts capturing; returns once the capture started (whatever the sources reported)."""
        if not self._capturing:
            self._command("START", "capture_started", timeout)

    def stop(self, timeout: float = 30.0) -> None:
        """Stops capturing; returns once it stopped."""
        if self._capturing:
            self._command("STOP", "capture_stopped", timeout)

    def pcm(self, as_array: bool = False, chunk_bytes: int = 3200) -> Iterator[Union[bytes, array]]:
        """The PCM as it comes, in chunks of whole samples (bytes, or array('h') with as_array).

        Ends when the tool ends; raises CaptureError when it ended without quit(). Read it
        continuously while capturing: a host that stops reading makes the tool's writes wait.
        """
        assert self._process.stdout is not None
        while True:
            data = self._process.stdout.read1(chunk_bytes)
            if not data:
                break
            data = self._pending + data
            whole = len(data) - len(data) % 2
            self._pending = data[whole:]
            if whole == 0:
                continue
            if as_array:
                samples = array("h")
                samples.frombytes(data[:whole])
                if samples.itemsize != 2 or array("h", [1]).tobytes() != b"\x01\x00":
                    samples.byteswap()
                yield samples
            else:
                yield data[:whole]
        self._process.wait()
        if not self._quitting:
            raise self._ended_error()

    def quit(self, timeout: float = 5.0) -> Optional[int]:
        """Stops and ends the tool: its exit status, or None when it had to be killed after timeout."""
        self._quitting = True
        if self._process.poll() is None:
            try:
                self._send("QUIT")
                assert self._process.stdin is not None
                self._process.stdin.close()
            except CaptureError:
                pass
        # What is still on stdout is of no use now: reading it keeps a full pipe from holding the tool.
        drain = threading.Thread(target=self._drain_stdout, name="zarvi-drain", daemon=True)
        drain.start()
        try:
            code: Optional[int] = self._process.wait(timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
            code = None
        self._reader.join()
        drain.join()
        for pipe in (self._process.stdin, self._process.stdout, self._process.stderr):
            if pipe is not None and not pipe.closed:
                try:
                    pipe.close()
                except BrokenPipeError:
                    pass
        return code

    def _drain_stdout(self) -> None:
        assert self._process.stdout is not None
        try:
            while self._process.stdout.read1(65536):
                pass
        except (OSError, ValueError):
            pass
