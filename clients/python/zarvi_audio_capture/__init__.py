"""The zarvi-audio-capture tool as a child process: commands in, parsed events and whole-sample PCM out.

    from zarvi_audio_capture import Capture

    with Capture() as capture:          # starts the tool, waits for "ready"; quits it at the end
        capture.start()
        for chunk in capture.pcm():       # bytes of whole samples: s16le, mono, 16 kHz
            ...
"""

from __future__ import annotations

import collections
import json
import logging
import os
import queue
import selectors
import shutil
import subprocess
import sys
import threading
from array import array
from dataclasses import dataclass
from typing import Callable, Deque, Dict, Iterator, Literal, Optional, Union, overload

__all__ = [
    "Capture",
    "CaptureError",
    "EchoCancelStarted",
    "EchoCancelUnavailable",
    "Event",
    "Resumed",
    "SourceFailed",
    "Switched",
    "describe_event",
    "find_binary",
    "split_tracks",
]

TOOL = "zarvi-audio-capture"
BYTES_PER_SECOND = 32000

log = logging.getLogger("zarvi_audio_capture")


class CaptureError(RuntimeError):
    """The tool could not start, did not answer in time, or ended without being asked to quit."""

    def __init__(self, message: str, returncode: Optional[int] = None):
        super().__init__(message)
        self.returncode = returncode


@dataclass(frozen=True)
class SourceFailed:
    """A source could not start ("start") or went while capturing ("running")."""

    source: str  # "mic" or "system"
    when: str  # "start" or "running"
    reason: str


@dataclass(frozen=True)
class Switched:
    """Another device is the default now, and the source records it."""

    source: str
    device: str


@dataclass(frozen=True)
class Resumed:
    """A source that had failed records again."""

    source: str
    device: str


@dataclass(frozen=True)
class EchoCancelStarted:
    """The echo canceller runs for this capture."""


@dataclass(frozen=True)
class EchoCancelUnavailable:
    """Echo cancelling was asked for and does not run for this capture: why."""

    reason: str


Details = Union[SourceFailed, Switched, Resumed, EchoCancelStarted, EchoCancelUnavailable]

_FAILURES = (
    ("Mic start failed: ", "mic", "start"),
    ("Mic stream failed: ", "mic", "running"),
    ("system_audio_start_failed: ", "system", "start"),
    ("system_audio_stream_failed: ", "system", "running"),
)
_CHANGES = (
    ("mic_switched: ", Switched, "mic"),
    ("system_audio_switched: ", Switched, "system"),
    ("mic_resumed: ", Resumed, "mic"),
    ("system_audio_resumed: ", Resumed, "system"),
)


def describe_event(type: str, msg: str) -> Optional[Details]:
    """What an event that a host acts on carries; None for the others."""
    if type == "status":
        if msg == "echo_cancel_started":
            return EchoCancelStarted()
        for prefix, kind, source in _CHANGES:
            if msg.startswith(prefix):
                return kind(source, msg[len(prefix) :])
        return None
    for prefix, source, when in _FAILURES:
        if msg.startswith(prefix):
            return SourceFailed(source, when, msg[len(prefix) :])
    if type == "warn" and msg.startswith("echo_cancel_unavailable: "):
        return EchoCancelUnavailable(msg[len("echo_cancel_unavailable: ") :])
    if type == "warn" and msg == "system_audio_no_display":
        return SourceFailed("system", "start", "no output device to record")
    return None


class Event(dict):
    """One event line of the tool: {"type": ..., "msg": ...}, with the two as attributes, and what
    it carries for a host (`details`: SourceFailed, Switched, Resumed or None)."""

    @property
    def type(self) -> str:
        return self["type"]

    @property
    def msg(self) -> str:
        return self["msg"]

    @property
    def details(self) -> Optional[Details]:
        return describe_event(self.type, self.msg)

    def __str__(self) -> str:
        return f"{self.type} {self.msg}"


def split_tracks(frames: "array[int]") -> "tuple[array[int], array[int]]":
    """The two tracks of separate-track PCM (frames of microphone, system audio), each as its own
    array('h') of samples."""
    return frames[0::2], frames[1::2]


def find_binary(binary: Optional[str] = None, path: Optional[str] = None) -> str:
    """The binary: the one given, else the first on PATH."""
    if binary:
        return binary
    found = shutil.which(TOOL, path=path)
    if found is None:
        raise CaptureError(f"{TOOL} was not found on PATH; install it or pass binary='/path/to/{TOOL}'")
    return found


class _Segment:
    """The PCM of one capture, as it was read and not yet taken."""

    def __init__(self) -> None:
        self.chunks: Deque[bytes] = collections.deque()
        self.size = 0
        self.ended = False  # every byte of the capture is in chunks


class Capture:
    """One running tool.

    A reader thread of its own reads both of the tool's outputs; each event goes to on_event (when
    given) and into the queue `events`. start(), stop() and pcm() wait at most their timeouts and then
    raise CaptureError naming the last event seen. The tool runs in a process group of its own, so
    that a Ctrl-C in the host's terminal reaches the host alone.
    """

    def __init__(
        self,
        binary: Optional[str] = None,
        mic_only: bool = False,
        verbose: bool = False,
        env: Optional[Dict[str, str]] = None,
        on_event: Optional[Callable[[Event], None]] = None,
        ready_timeout: float = 10.0,
        max_buffered_seconds: float = 60.0,
        echo_cancel: bool = False,
        separate_tracks: bool = False,
    ):
        environment = dict(os.environ if env is None else env)
        environment.pop("ZARVI_AUDIO_MIC_ONLY", None)
        environment.pop("ZARVI_AUDIO_VERBOSE", None)
        environment.pop("ZARVI_AUDIO_ECHO_CANCEL", None)
        environment.pop("ZARVI_AUDIO_SEPARATE_TRACKS", None)
        if echo_cancel:
            environment["ZARVI_AUDIO_ECHO_CANCEL"] = "1"
        if separate_tracks:
            environment["ZARVI_AUDIO_SEPARATE_TRACKS"] = "1"
        # Whole samples, or whole (microphone, system audio) frames with separate tracks.
        self._frame_bytes = 4 if separate_tracks else 2
        if mic_only:
            environment["ZARVI_AUDIO_MIC_ONLY"] = "1"
        if verbose:
            environment["ZARVI_AUDIO_VERBOSE"] = "1"
        self.events: "queue.Queue[Event]" = queue.Queue()
        self._on_event = on_event
        self._max_buffered = max(
            self._frame_bytes,
            int(max_buffered_seconds * BYTES_PER_SECOND * self._frame_bytes // 2)
            // self._frame_bytes
            * self._frame_bytes,
        )
        self._changed = threading.Condition()
        # The latest events, and how many came in all: a wait looks at those after its command.
        self._seen: Deque[Event] = collections.deque(maxlen=1000)
        self._count = 0
        self._last_failure: Optional[Event] = None  # since the last START
        self._reader_done = False
        self._capturing = False
        self._quitting = False
        self._stdout_ended = False
        self._segments: Deque[_Segment] = collections.deque([_Segment()])
        self._partial = b""  # the start of a frame that the next read completes
        self._dropped = 0
        self._callback_error: Optional[BaseException] = None
        try:
            self._process = subprocess.Popen(
                [find_binary(binary, environment.get("PATH"))],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                env=environment,
                start_new_session=os.name == "posix",
            )
        except OSError as error:
            raise CaptureError(f"{TOOL} could not be started: {error}") from error
        self._reader = threading.Thread(target=self._read_outputs, name="zarvi-reader", daemon=True)
        self._reader.start()
        if not self._wait_for(lambda e: e.type == "status" and e.msg == "ready", ready_timeout):
            self._process.kill()
            self._process.wait()
            self._reader.join()
            raise CaptureError(f"{TOOL} did not say ready within {ready_timeout} s", self._process.returncode)

    # The context manager: the tool runs inside the with block and is asked to quit at its end.
    def __enter__(self) -> "Capture":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.quit()

    @property
    def pid(self) -> int:
        return self._process.pid

    @property
    def capturing(self) -> bool:
        return self._capturing

    @property
    def last_event(self) -> Optional[Event]:
        with self._changed:
            return self._seen[-1] if self._seen else None

    # The reader thread: one thread for both outputs, so that it knows where a capture ends in the
    # PCM. The tool writes every byte of a capture before "capture_stopped": whatever stdout holds
    # when that line is read belongs to the capture, and nothing more comes before the next START.

    def _read_outputs(self) -> None:
        assert self._process.stdout is not None and self._process.stderr is not None
        out = self._process.stdout.fileno()
        err = self._process.stderr.fileno()
        for fd in (out, err):
            os.set_blocking(fd, False)
        selector = selectors.DefaultSelector()
        selector.register(out, selectors.EVENT_READ)
        selector.register(err, selectors.EVENT_READ)
        line = b""
        open_outputs = {out, err}
        try:
            while open_outputs:
                for key, _ in selector.select():
                    data = self._read_some(key.fd)
                    if data is None:
                        continue
                    if not data:
                        selector.unregister(key.fd)
                        open_outputs.discard(key.fd)
                        if key.fd == out:
                            self._end_of_pcm()
                        continue
                    if key.fd == out:
                        self._take_pcm(data)
                        continue
                    line += data
                    *lines, line = line.split(b"\n")
                    for raw in lines:
                        self._take_event(raw, out)
            if line:
                self._take_event(line, out)
        finally:
            selector.close()
            with self._changed:
                self._reader_done = True
                self._stdout_ended = True
                self._segments[-1].ended = True
                self._changed.notify_all()

    @staticmethod
    def _read_some(fd: int) -> Optional[bytes]:
        try:
            return os.read(fd, 65536)
        except BlockingIOError:
            return None
        except OSError:
            return b""

    def _take_pcm(self, data: bytes) -> None:
        data = self._partial + data
        whole = len(data) - len(data) % self._frame_bytes
        self._partial = data[whole:]
        if whole == 0:
            return
        with self._changed:
            segment = self._segments[-1]
            segment.chunks.append(data[:whole])
            segment.size += whole
            self._drop_beyond_the_bound()
            self._changed.notify_all()

    def _drop_beyond_the_bound(self) -> None:
        # A host that does not read the PCM must not grow this process without end; the tool itself
        # is never held, so events and stops keep coming.
        buffered = sum(segment.size for segment in self._segments)
        while buffered > self._max_buffered:
            segment = next(s for s in self._segments if s.chunks)
            chunk = segment.chunks.popleft()
            segment.size -= len(chunk)
            buffered -= len(chunk)
            if self._dropped == 0:
                log.warning(
                    "the host did not read the PCM: beyond %d s of it, the oldest gives way",
                    self._max_buffered // BYTES_PER_SECOND,
                )
            self._dropped += len(chunk)

    def _end_of_pcm(self) -> None:
        with self._changed:
            self._stdout_ended = True
            self._segments[-1].ended = True
            self._changed.notify_all()

    def _take_event(self, raw: bytes, out: int) -> None:
        text = raw.decode("utf-8", errors="replace").rstrip("\r")
        try:
            parsed = json.loads(text)
            event = Event(parsed) if isinstance(parsed, dict) else Event(type="unparsable", msg=text)
        except ValueError:
            event = Event(type="unparsable", msg=text)
        if event.type == "status" and event.msg == "capture_stopped":
            # The rest of the capture is in the pipe now; read it before the capture is called ended.
            while True:
                data = self._read_some(out)
                if not data:
                    break
                self._take_pcm(data)
        with self._changed:
            if event.type in ("warn", "error"):
                self._last_failure = event
            if event.type == "status" and event.msg == "capture_started":
                self._capturing = True
            if event.type == "status" and event.msg == "capture_stopped":
                self._capturing = False
                self._segments[-1].ended = True
                self._segments.append(_Segment())
            self._seen.append(event)
            self._count += 1
            self._changed.notify_all()
        self.events.put(event)
        if self._on_event is not None:
            try:
                self._on_event(event)
            except Exception as error:  # a host's callback never ends the reading
                log.exception("on_event raised on %s", event)
                with self._changed:
                    if self._callback_error is None:
                        self._callback_error = error

    # The calls of the host.

    def _raise_callback_error(self) -> None:
        with self._changed:
            error, self._callback_error = self._callback_error, None
        if error is not None:
            raise CaptureError(f"on_event raised {error!r}") from error

    def _describe_last(self) -> str:
        with self._changed:
            last = next((e for e in reversed(self._seen) if e.type != "debug"), None)
            failure = self._last_failure
        if last is None:
            return "no event came"
        described = f'the last event was "{last}"'
        if failure is not None and failure is not last:
            described += f', the last failure "{failure}"'
        return described

    def _wait_for(self, matches: Callable[[Event], bool], timeout: Optional[float], after: int = 0) -> bool:
        """Whether an event after the first `after` ones matches, once one does, the tool's output
        ended, or the timeout passed."""

        def seen() -> bool:
            newer = min(self._count - after, len(self._seen))
            return any(matches(e) for e in list(self._seen)[len(self._seen) - newer :])

        with self._changed:
            return self._changed.wait_for(lambda: seen() or self._reader_done, timeout) and seen()

    def _send(self, command: str) -> None:
        assert self._process.stdin is not None
        try:
            self._process.stdin.write(command.encode() + b"\n")
            self._process.stdin.flush()
        except (BrokenPipeError, ValueError) as error:
            raise self._ended_error() from error

    def _ended_error(self) -> CaptureError:
        code = self._process.poll()
        if code is None:
            return CaptureError(f"{TOOL} closed its input without being asked to quit")
        how = f"was killed by signal {-code}" if code < 0 else f"exited with status {code}"
        return CaptureError(f"{TOOL} {how} without being asked to quit", code)

    def _command(self, command: str, done: str, timeout: Optional[float]) -> None:
        self._raise_callback_error()
        with self._changed:
            mark = self._count
        self._send(command)
        if not self._wait_for(lambda e: e.type == "status" and e.msg == done, timeout, mark):
            if self._process.poll() is not None:
                raise self._ended_error()
            raise CaptureError(f"{TOOL} did not answer {command} within {timeout} s; {self._describe_last()}")

    def start(self, timeout: Optional[float] = 30.0) -> None:
        """Starts capturing; returns once the capture started (whatever the sources reported).

        What was not read of an earlier capture's PCM is dropped: pcm() reads this capture.
        """
        if self._capturing:
            return
        with self._changed:
            while len(self._segments) > 1:
                self._segments.popleft()
            self._last_failure = None
        self._command("START", "capture_started", timeout)

    def stop(self, timeout: Optional[float] = 30.0) -> None:
        """Stops capturing; returns once it stopped. pcm() then gives the rest of this capture and ends."""
        if self._capturing:
            self._command("STOP", "capture_stopped", timeout)

    @overload
    def pcm(
        self, as_array: Literal[False] = False, chunk_bytes: int = 65536, timeout: Optional[float] = 10.0
    ) -> Iterator[bytes]: ...

    @overload
    def pcm(
        self, as_array: Literal[True], chunk_bytes: int = 65536, timeout: Optional[float] = 10.0
    ) -> Iterator["array[int]"]: ...

    def pcm(
        self, as_array: bool = False, chunk_bytes: int = 65536, timeout: Optional[float] = 10.0
    ) -> Iterator[Union[bytes, "array[int]"]]:
        """The PCM of the capture in progress (or of the one just stopped), in chunks of whole samples
        of at most chunk_bytes: bytes, or array('h') with as_array.

        Ends once that capture has stopped and its last bytes are read. Raises CaptureError when no
        PCM comes for timeout seconds (None: wait for ever), naming the last event, and when the tool
        ended without quit(). Keep reading while capturing: beyond max_buffered_seconds of unread
        PCM the oldest gives way.
        """
        chunk_bytes = max(self._frame_bytes, chunk_bytes - chunk_bytes % self._frame_bytes)
        self._raise_callback_error()
        with self._changed:
            segment = self._segments[0]
        while True:
            with self._changed:
                if not self._changed.wait_for(lambda: bool(segment.chunks) or segment.ended, timeout):
                    raise CaptureError(f"no PCM came within {timeout} s; {self._describe_last()}")
                if segment.chunks:
                    data = segment.chunks.popleft()
                    if len(data) > chunk_bytes:  # both are whole frames
                        segment.chunks.appendleft(data[chunk_bytes:])
                        data = data[:chunk_bytes]
                    segment.size -= len(data)
                else:
                    if self._segments and self._segments[0] is segment and len(self._segments) > 1:
                        self._segments.popleft()
                    ended_unasked = self._stdout_ended and not self._quitting and segment is self._segments[-1]
                    break
            self._raise_callback_error()
            if as_array:
                samples = array("h")
                samples.frombytes(data)
                if sys.byteorder != "little":
                    samples.byteswap()
                yield samples
            else:
                yield data
        if ended_unasked:
            self._process.wait()
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
        try:
            code: Optional[int] = self._process.wait(timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
            code = None
        self._reader.join()
        for pipe in (self._process.stdin, self._process.stdout, self._process.stderr):
            if pipe is not None and not pipe.closed:
                try:
                    pipe.close()
                except BrokenPipeError:
                    pass
        return code
