"""The client against the real tool and a private sound server of its own (scripts/private-pulse.sh).

ZARVI_TOOL names the binary; by default the debug build beside this repository's sources.
"""

import math
import os
import signal
import subprocess
import tempfile
import time
import unittest
from array import array
from pathlib import Path

from zarvi_audio_capture import Capture, CaptureError, find_binary

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


class CaptureAgainstTheRealTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="zarvi-python-")
        address = subprocess.run(
            [SERVER_SCRIPT, "start", cls.directory], check=True, capture_output=True, text=True
        ).stdout.strip()
        cls.env = dict(os.environ, PULSE_SERVER=address)
        cls.players = []
        for sink, frequency, volume in (("speaker", 440, 0.5), ("micsink", 1000, 0.25)):
            command = (
                f"sox -q -V1 -n -r 48000 -c 2 -b 16 -t wav - synth 60 sine {frequency} vol {volume}"
                f" | exec paplay --latency-msec=20 -d {sink}"
            )
            cls.players.append(subprocess.Popen(["sh", "-c", command], env=cls.env, start_new_session=True))

    @classmethod
    def tearDownClass(cls):
        for player in cls.players:
            os.killpg(player.pid, signal.SIGKILL)
            player.wait()
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


class CaptureWithoutATool(unittest.TestCase):
    def test_a_missing_binary_is_a_clear_error(self):
        with self.assertRaisesRegex(CaptureError, "could not be started"):
            Capture(binary="/nonexistent/zarvi-audio-capture")
        with self.assertRaisesRegex(CaptureError, "not found on PATH"):
            find_binary(path="/nonexistent")


if __name__ == "__main__":
    unittest.main()
