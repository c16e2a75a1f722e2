"""The client against the real tool and a private sound server of its own (scripts/private-pulse.sh).

ZARVI_TOOL names the binary; by default the debug build beside this repository's sources.
"""

import math
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from array import array
from pathlib import Path

from zarvi_audio_capture import (
    Capture,
    CaptureError,
    EchoCancelStarted,
    EchoCancelUnavailable,
    Resumed,
    SourceFailed,
    Switched,
    describe_event,
    find_binary,
    split_tracks,
)

REPOSITORY = Path(__file__).resolve().parents[3]
BINARY = os.environ.get("ZARVI_TOOL") or str(REPOSITORY / "build" / "dev" / "src" / "zarvi-audio-capture")
SERVER_SCRIPT = str(REPOSITORY / "scripts" / "private-pulse.sh")


def block_amplitude(samples, frequency):
    """The amplitude of one frequency in 16 kHz samples (full scale 1.0), over a Hann window."""
    omega = 2 * math.pi * frequency / 16000
    n = len(samples)
    re = im = window_sum = 0.0
    for i, sample in enumerate(samples):
        w = 0.5 - 0.5 * math.cos(2 * math.pi * i / (n - 1))
        re += sample * w * math.cos(omega * i)
        im -= sample * w * math.sin(omega * i)
        window_sum += w
    return 2 * math.hypot(re, im) / window_sum


def amplitude(samples, frequency, block=1440):
    """The median over blocks: a block whose system audio came late (its tail carries the microphone
    alone, the tool's mixing rule) does not read as a lower level of the whole."""
    levels = sorted(
        block_amplitude(samples[at : at + block], frequency) for at in range(0, len(samples) - block + 1, block)
    )
    return levels[len(levels) // 2]


def play(env, sink, frequency, volume, seconds=60):
    """A tone into a sink of the private server, until the player is killed."""
    command = (
        f"sox -q -V1 -n -r 48000 -c 2 -b 16 -t wav - synth {seconds} sine {frequency} vol {volume}"
        f" | exec paplay --latency-msec=20 -d {sink}"
    )
    return subprocess.Popen(["sh", "-c", command], env=env, start_new_session=True)


def silence(player):
    os.killpg(player.pid, signal.SIGKILL)
    player.wait()


def read_samples(capture, count, timeout=10.0):
    samples = array("h")
    for chunk in capture.pcm(as_array=True, timeout=timeout):
        samples.extend(chunk)
        if len(samples) >= count:
            break
    return samples


class CaptureAgainstTheRealTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="zarvi-python-")
        address = subprocess.run(
            [SERVER_SCRIPT, "start", cls.directory], check=True, capture_output=True, text=True
        ).stdout.strip()
        cls.env = dict(os.environ, PULSE_SERVER=address)
        cls.players = [play(cls.env, "speaker", 440, 0.5), play(cls.env, "micsink", 1000, 0.25)]

    @classmethod
    def tearDownClass(cls):
        for player in cls.players:
            silence(player)
        subprocess.run([SERVER_SCRIPT, "stop", cls.directory], check=True)
        subprocess.run(["rm", "-rf", cls.directory], check=True)

    def test_records_both_tones_at_their_levels_with_the_events_in_order(self):
        events = []
        with Capture(binary=BINARY, env=self.env, on_event=events.append) as capture:
            capture.start()
            samples = array("h")
            for chunk in capture.pcm(as_array=True):
                samples.extend(chunk)
                if len(samples) >= 3 * 16000:
                    break
            capture.stop()
            self.assertEqual(capture.quit(), 0)
        levels = [s / 32767 for s in samples[8000:]]  # the null sinks start late
        self.assertAlmostEqual(amplitude(levels, 440), 0.5, delta=0.05)
        self.assertAlmostEqual(amplitude(levels, 1000), 0.25, delta=0.025)
        statuses = [f"{e.type} {e.msg}" for e in events if e.type != "debug"]
        self.assertRegex(statuses[2], r"^status mic_format: \d+\.0Hz, 2ch$")
        statuses[2] = "status mic_format"
        self.assertEqual(
            statuses,
            [
                "status ready",
                "status system_started",
                "status mic_format",
                "status mic_started",
                "status capture_started",
                "status system_stopped",
                "status mic_stopped",
                "status capture_stopped",
                "status quitting",
            ],
        )

    def test_chunks_are_whole_samples_and_the_events_also_wait_in_a_queue(self):
        with Capture(binary=BINARY, env=self.env, mic_only=True) as capture:
            capture.start()
            sizes = []
            for chunk in capture.pcm(chunk_bytes=1001):  # an odd size: a sample may straddle two reads
                sizes.append(len(chunk))
                if sum(sizes) >= 32000:
                    break
            capture.stop()
        self.assertTrue(all(size % 2 == 0 for size in sizes), sizes)
        messages = []
        while not capture.events.empty():
            messages.append(capture.events.get().msg)
        self.assertIn("mic_only_mode", messages)
        self.assertNotIn("system_started", messages)

    def test_each_capture_reads_its_own_pcm_up_to_its_end(self):
        with Capture(binary=BINARY, env=self.env) as capture:
            # A tone that only the first capture hears, stopped while its PCM is still unread.
            marker = play(self.env, "micsink", 1500, 0.25)
            try:
                capture.start()
                first = read_samples(capture, 16000)
                while amplitude([s / 32767 for s in first[-4000:]], 1500, block=4000) < 0.1:
                    first.extend(read_samples(capture, 1440))
                time.sleep(0.5)  # left unread in the pipe and the client
                capture.stop()
            finally:
                silence(marker)
            # The rest of the first capture, then its end, with no wait for a PCM that never comes.
            rest = read_samples(capture, 10**9, timeout=5)
            self.assertGreater(len(rest), 0)
            capture.start()
            second = read_samples(capture, 8000)
            capture.stop()
        levels = [s / 32767 for s in second[:8000]]
        self.assertLess(block_amplitude(levels[:4000], 1500), 0.02, "the first capture's end")
        self.assertAlmostEqual(amplitude(levels, 1000, block=1000), 0.25, delta=0.05)

    def test_a_host_that_does_not_read_still_stops_and_its_callback_errors_come_back(self):
        calls = []

        def on_event(event):
            calls.append(event)
            if event.msg == "capture_started":
                raise ValueError("the host's own bug")

        with Capture(binary=BINARY, env=self.env, on_event=on_event, max_buffered_seconds=1) as capture:
            capture.start()
            time.sleep(3)  # no PCM read: the pipe would have filled, and the tool would wait
            begun = time.monotonic()
            with self.assertRaisesRegex(CaptureError, "on_event raised ValueError"):
                capture.stop()
            capture.stop(timeout=10)
            self.assertLess(time.monotonic() - begun, 10)
            self.assertEqual(calls[-1].msg, "capture_stopped", "the reader lived on")
            # At most the bound was kept: one second of the stopped capture.
            self.assertLessEqual(sum(len(c) for c in capture.pcm(timeout=1)), 32000 + 65536)
            self.assertEqual(capture.quit(), 0)

    def test_a_tool_that_does_not_answer_is_an_error_naming_the_last_event(self):
        capture = Capture(binary=BINARY, env=self.env)
        os.kill(capture.pid, signal.SIGSTOP)
        with self.assertRaisesRegex(CaptureError, 'did not answer START within 0.5 s; the last event was "status ready"'):
            capture.start(timeout=0.5)
        with self.assertRaisesRegex(CaptureError, 'no PCM came within 0.5 s; the last event was "status ready"'):
            next(capture.pcm(timeout=0.5))
        self.assertIsNone(capture.quit(timeout=0.3))

    def test_a_ctrl_c_in_the_hosts_terminal_reaches_the_host_which_decides(self):
        host = (
            "import signal, sys\n"
            "from zarvi_audio_capture import Capture\n"
            # A host started with SIGINT ignored (a non-interactive shell's background job) would
            # otherwise never see a KeyboardInterrupt.
            "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
            "capture = Capture(binary=sys.argv[1])\n"
            "capture.start()\n"
            "try:\n"
            # Said inside the try, so a Ctrl-C that comes right after it is the host's to handle.
            "    print('capturing', flush=True)\n"
            "    for _ in capture.pcm(timeout=None):\n"
            "        pass\n"
            "except KeyboardInterrupt:\n"
            "    print('exit status', capture.quit(), flush=True)\n"
        )
        # The host leads a process group of its own, as a shell's foreground job does.
        process = subprocess.Popen(
            [sys.executable, "-c", host, BINARY], env=self.env, stdout=subprocess.PIPE, text=True,
            start_new_session=True,
        )
        self.assertEqual(process.stdout.readline(), "capturing\n")
        os.killpg(process.pid, signal.SIGINT)  # what the terminal does on Ctrl-C
        output, _ = process.communicate(timeout=20)
        self.assertEqual(output, "exit status 0\n")

    def test_separate_tracks_with_echo_cancelling_give_whole_frames_and_the_two_sources_apart(self):
        events = []
        with Capture(binary=BINARY, env=self.env, echo_cancel=True, separate_tracks=True, on_event=events.append) as capture:
            capture.start()
            frames = array("h")
            sizes = []
            for chunk in capture.pcm(as_array=True, chunk_bytes=1001):
                sizes.append(len(chunk))
                frames.extend(chunk)
                if len(frames) >= 2 * 3 * 16000:
                    break
            capture.stop()
        self.assertTrue(all(size % 2 == 0 for size in sizes), "whole frames: two samples each")
        self.assertIn(EchoCancelStarted(), [e.details for e in events])
        microphone, system = split_tracks(frames)
        self.assertEqual(len(microphone), len(system))
        # No room here: each track hears only its own tone.
        mic_levels = [s / 32767 for s in microphone[16000:]]
        system_levels = [s / 32767 for s in system[16000:]]
        self.assertAlmostEqual(amplitude(mic_levels, 1000), 0.25, delta=0.025)
        self.assertLess(amplitude(mic_levels, 440), 0.01)
        self.assertAlmostEqual(amplitude(system_levels, 440), 0.5, delta=0.05)
        self.assertLess(amplitude(system_levels, 1000), 0.01)

    def test_a_killed_tool_is_reported(self):
        capture = Capture(binary=BINARY, env=self.env)
        capture.start()
        os.kill(capture.pid, signal.SIGKILL)
        with self.assertRaisesRegex(CaptureError, "killed by signal 9 without being asked to quit"):
            for _ in capture.pcm():
                pass
        self.assertEqual(capture.quit(), -signal.SIGKILL)

    def test_a_tool_that_does_not_end_is_killed_after_the_timeout(self):
        capture = Capture(binary=BINARY, env=self.env)
        os.kill(capture.pid, signal.SIGSTOP)
        begun = time.monotonic()
        self.assertIsNone(capture.quit(timeout=0.3))
        self.assertLess(time.monotonic() - begun, 5)


class CaptureBeforeTheServer(unittest.TestCase):
    def test_no_pcm_is_an_error_naming_why_and_a_server_that_comes_is_taken_in(self):
        directory = tempfile.mkdtemp(prefix="zarvi-python-late-")
        address = f"unix:{directory}/pulse/native"
        env = dict(os.environ, PULSE_SERVER=address)
        players = []
        try:
            with Capture(binary=BINARY, env=env) as capture:
                capture.start()
                with self.assertRaisesRegex(
                    CaptureError,
                    'no PCM came within 2 s; the last event was "status capture_started", the last failure '
                    '"error Mic start failed: no sound server at ' + address,
                ):
                    next(capture.pcm(timeout=2))
                subprocess.run([SERVER_SCRIPT, "start", directory], check=True, capture_output=True)
                players = [play(env, "micsink", 1000, 0.25)]
                samples = read_samples(capture, 3 * 16000, timeout=10)
                capture.stop()
            self.assertAlmostEqual(amplitude([s / 32767 for s in samples[-16000:]], 1000), 0.25, delta=0.05)
            events = capture_events(capture)
            failures = [e.details for e in events if isinstance(e.details, SourceFailed)]
            self.assertEqual({(f.source, f.when) for f in failures}, {("mic", "start"), ("system", "start")})
            resumed = [e.details for e in events if isinstance(e.details, Resumed)]
            self.assertIn(Resumed("mic", "Microphone"), resumed)
        finally:
            for player in players:
                silence(player)
            subprocess.run([SERVER_SCRIPT, "stop", directory], check=True)
            subprocess.run(["rm", "-rf", directory], check=True)


def capture_events(capture):
    events = []
    while not capture.events.empty():
        events.append(capture.events.get())
    return events


class CaptureWithoutATool(unittest.TestCase):
    def test_the_events_a_host_acts_on_are_parsed(self):
        cases = [
            ("error", "Mic start failed: no microphone: x", SourceFailed("mic", "start", "no microphone: x")),
            ("error", "Mic stream failed: Entity killed", SourceFailed("mic", "running", "Entity killed")),
            ("warn", "system_audio_start_failed: Timeout", SourceFailed("system", "start", "Timeout")),
            ("warn", "system_audio_stream_failed: Gone", SourceFailed("system", "running", "Gone")),
            ("warn", "system_audio_no_display", SourceFailed("system", "start", "no output device to record")),
            ("status", "mic_switched: USB Microphone", Switched("mic", "USB Microphone")),
            ("status", "system_audio_switched: Headphones", Switched("system", "Headphones")),
            ("status", "mic_resumed: Microphone", Resumed("mic", "Microphone")),
            ("status", "system_audio_resumed: Speaker", Resumed("system", "Speaker")),
            ("status", "echo_cancel_started", EchoCancelStarted()),
            ("warn", "echo_cancel_unavailable: no system audio", EchoCancelUnavailable("no system audio")),
            ("status", "mic_started", None),
            ("warn", "Unknown command: X", None),
        ]
        for type_, msg, details in cases:
            self.assertEqual(describe_event(type_, msg), details, msg)

    def test_a_missing_binary_is_a_clear_error(self):
        with self.assertRaisesRegex(CaptureError, "could not be started"):
            Capture(binary="/nonexistent/zarvi-audio-capture")
        with self.assertRaisesRegex(CaptureError, "not found on PATH"):
            find_binary(path="/nonexistent")


if __name__ == "__main__":
    unittest.main()
