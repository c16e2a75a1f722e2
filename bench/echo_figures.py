#!/usr/bin/env python3
"""The scenes of bench/echo-cancel.sh, and the figures of its recordings.

Scenes (16 kHz mono, second 0 is when the players start):
  talk  far end 0-12 s and 18-28 s, near end 12-18 s and 20-28 s: far end alone 3-11.5 s (ERLE),
        near end alone 13-18 s, both (double talk) 20.5-27.5 s
  near  the near end of talk with the far end silent (nothing plays: the near end's reference)
  path  far end for 20 s; 10 s in, the echo path changes (the runs say how, and when exactly)

Near-end loss is measured against the near end recorded with no canceller and no far end: the
transfer from that reference to the canceller's output, averaged over the window (so that an echo
left over, which the reference does not hold, does not count as near end), weighted by the near
end's spectrum. 0 dB keeps the near end whole.
  python3 bench/echo_figures.py scenes|figures WORK
"""
import os
import shutil
import subprocess
import sys
import tempfile
import wave

import numpy as np

RATE = 16000
TICKS = os.sysconf("SC_CLK_TCK")


def voice(path):
    raw = subprocess.run(["sox", path, "-t", "raw", "-r", str(RATE), "-e", "signed", "-b", "16", "-c", "1", "-"],
                         check=True, capture_output=True).stdout
    return np.frombuffer(raw, dtype=np.int16).astype(np.float64)


def place(track, sound, begin, end):
    """Fills begin..end seconds of track with the sound over and over, 0.3 s apart."""
    at, stop = int(begin * RATE), int(end * RATE)
    while at < stop:
        piece = sound[: stop - at]
        track[at : at + len(piece)] = piece
        at += len(piece) + int(0.3 * RATE)


def write(path, samples):
    np.clip(samples, -32767, 32767).astype("<i2").tofile(path)


def scenes(work):
    far_voice, near_voice = voice(f"{work}/far-voice.wav"), voice(f"{work}/near-voice.wav")
    far, near = np.zeros(28 * RATE), np.zeros(28 * RATE)
    place(far, far_voice, 0, 12)
    place(far, far_voice, 18, 28)
    place(near, near_voice, 12, 18)
    place(near, near_voice, 20, 28)
    path = np.zeros(20 * RATE)
    place(path, far_voice, 0, 20)
    for name, far_track, near_track in (("talk", far, near), ("near", None, near), ("path", path, None)):
        for side, track in (("far", far_track), ("near", near_track)):
            if track is None:
                open(f"{work}/{name}.{side}.raw", "wb").close()
            else:
                write(f"{work}/{name}.{side}.raw", track)
        length = len(far_track if far_track is not None else near_track)
        with open(f"{work}/{name}.seconds", "w") as f:
            f.write(f"{length // RATE}\n")


class Run:
    """One recording: the microphone's track as the host gets it, and the far end as played."""

    def __init__(self, folder, name):
        tool = f"{folder}/{name}.tool.raw"
        if os.path.exists(tool):
            both = np.fromfile(tool, dtype="<i2").astype(np.float64)
            both = both[: len(both) // 2 * 2].reshape(-1, 2)
            self.mic, self.far = both[:, 0], both[:, 1]
        else:
            self.mic = np.fromfile(f"{folder}/{name}.mic.raw", dtype="<i2").astype(np.float64)
            self.far = np.fromfile(f"{folder}/{name}.far.raw", dtype="<i2").astype(np.float64)
        ticks, seconds = open(f"{folder}/{name}.cpu").read().split()
        self.cpu_percent = 100 * int(ticks) / TICKS / float(seconds)
        change = f"{folder}/{name}.change"
        self.change = float(open(change).read()) if os.path.exists(change) else None
        # The scene's clock starts with the far end's first sound as recorded beside the microphone
        # (a canceller that removes the echo from the first moment leaves no sound on the microphone
        # to start it); in the near scene, with nothing played, the first sound is the near end's, 12 s in.
        if name.startswith("near"):
            self.start = onset(self.mic) - 12 * RATE
        else:
            self.start = onset(self.far)

    def at(self, second):
        return self.start + int(second * RATE)


def onset(samples):
    """Where the first sound is."""
    frames = samples[: len(samples) // 160 * 160].reshape(-1, 160)
    loud = np.nonzero(np.sqrt(np.mean(frames**2, axis=1)) > 30)[0]
    return int(loud[0]) * 160 if len(loud) else 0


def level(samples):
    return 10 * np.log10(np.mean(samples**2) + 1e-9)


def erle(off, on, begin, end):
    return level(off.mic[off.at(begin) : off.at(end)]) - level(on.mic[on.at(begin) : on.at(end)])


def aligned(reference, samples, guess, slack=RATE // 2):
    """The piece of samples, around guess, that the reference lines up with best."""
    lo = max(0, guess - slack)
    hay = samples[lo : guess + len(reference) + slack]
    size = 1 << int(np.ceil(np.log2(len(hay) + len(reference))))
    score = np.fft.irfft(np.fft.rfft(hay, size) * np.conj(np.fft.rfft(reference, size)), size)
    lag = int(np.argmax(score[: len(hay) - len(reference) + 1]))
    return hay[lag : lag + len(reference)]


def near_kept(reference_run, run, guess, begin, end):
    """The near end's level in run against the reference, in dB (0: kept whole). Each second is
    lined up on its own, so that no drift between two recordings counts."""
    window = np.hanning(1024)
    cross, power = np.zeros(513, complex), np.zeros(513)
    for second in np.arange(begin, end - 0.5, 1.0):
        stop = min(second + 1.0, end)
        reference = reference_run.mic[reference_run.at(second) : reference_run.at(stop)]
        output = aligned(reference, run.mic, guess + int(second * RATE))
        for at in range(0, len(reference) - 1024, 512):
            r = np.fft.rfft(reference[at : at + 1024] * window)
            y = np.fft.rfft(output[at : at + 1024] * window)
            cross += y * np.conj(r)
            power += np.abs(r) ** 2
    gain = np.abs(cross) ** 2 / np.maximum(power, 1e-9)
    return 10 * np.log10(np.sum(gain) / np.sum(power))


def words_heard(run):
    """What a speech recogniser (pocketsphinx, where it is installed) makes of the microphone's track
    while only the far end talks, 0-12 s: the far end's words that the echo left, and words made up
    from what the canceller left. None is the goal."""
    if not shutil.which("pocketsphinx_continuous"):
        return None
    piece = np.clip(run.mic[run.at(0) : run.at(12)], -32767, 32767).astype("<i2")
    with tempfile.NamedTemporaryFile(suffix=".wav") as f:
        with wave.open(f.name, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(RATE)
            w.writeframes(piece.tobytes())
        heard = subprocess.run(["pocketsphinx_continuous", "-infile", f.name, "-logfn", os.devnull],
                               capture_output=True, text=True).stdout
    return len(heard.split())


def reconverged(off, on, end=19.5, floor=20.0):
    """Seconds after the path changed until the echo removed is back at floor dB and stays there,
    over the 100 ms windows in which the echo sounds (within 20 dB of its loudest), and the echo
    removed over the last four seconds."""
    step = int(0.1 * RATE)
    seconds = np.arange(on.change, end, 0.1)
    echo = np.array([level(off.mic[off.at(s) : off.at(s) + step]) for s in seconds])
    left = np.array([level(on.mic[on.at(s) : on.at(s) + step]) for s in seconds])
    below = [i for i in range(len(seconds)) if echo[i] > echo.max() - 20 and echo[i] - left[i] < floor]
    back = 0.0 if not below else (below[-1] + 1) * 0.1
    return back, erle(off, on, end - 4, end)


ROOMS = {"plain": "echo only the room's own streaming (about 0.17 s) late",
         "late": "echo 0.12 s more late, a delay the server does not know"}


def figures(work):
    for kind in ("pulseaudio", "pipewire"):
        if not os.path.isdir(f"{work}/{kind}"):
            continue
        server, canceller = (open(f"{work}/{kind}/about").read().splitlines() + ["", ""])[:2]
        for room, what in ROOMS.items():
            folder = f"{work}/{kind}/{room}"
            if os.path.isdir(folder):
                room_figures(folder, f"{server}, {room} room: {what}", canceller)


def room_figures(folder, title, canceller):
    runs = {name[: -len(".cpu")]: None for name in os.listdir(folder) if name.endswith(".cpu")}
    for name in runs:
        runs[name] = Run(folder, name)
    off, near_off = runs["talk-off"], runs["near-off"]
    plain_cpu = runs["plain"].cpu_percent
    print(f"\n{title}")
    print(f"  {'canceller':<44}{'ERLE':>7}{'near alone':>12}{'double talk':>13}"
          f"{'delay step':>18}{'output switch':>18}{'CPU':>8}{'words':>7}")
    rows = [("none (the microphone as it is)", "talk-off", None, None),
            (f"tool: {canceller}", "talk-on", "delay-on", "switch-on")]
    rows += [(f"module-echo-cancel {m}", f"talk-{m}", f"delay-{m}", None)
             for m in ("webrtc", "speex") if f"talk-{m}" in runs]
    for label, talk, delay, switch in rows:
        run = runs[talk]
        removed = "" if run is off else f"{erle(off, run, 3, 11.5):6.1f}"
        alone = near_kept(near_off, run, run.start, 13, 18)
        double = near_kept(near_off, run, run.start, 20.5, 27.5)
        moves = []
        for changed, without in ((delay, "delay-off"), (switch, "switch-off")):
            if changed is None or changed not in runs:
                moves.append("")
            else:
                back, after = reconverged(runs[without], runs[changed])
                moves.append(f"{back:.1f} s, {after:.0f} dB")
        # The tool's own process; the module's CPU is what it adds to the servers'.
        cpu = run.cpu_percent if talk.startswith("talk-o") else run.cpu_percent - plain_cpu
        words = words_heard(run)
        print(f"  {label:<44}{removed:>7}{alone:>+11.2f} {double:>+12.2f} {moves[0]:>17} {moves[1]:>17}"
              f"{cpu:>7.1f}%{'' if words is None else words:>7}")
    if "drift-on" in runs:
        drift = runs["drift-on"]
        print(f"  tool with the room's clock 200 ppm fast: ERLE {erle(off, drift, 3, 11.5):.1f} dB, "
              f"double talk {near_kept(near_off, drift, drift.start, 20.5, 27.5):+.2f} dB")
    nothing = near_kept(near_off, runs["near-on"], runs["near-on"].start, 13, 27.5)
    print(f"  tool with nothing playing: the microphone at {nothing:+.2f} dB")
    print("  (ERLE: far end alone 3-11.5 s; near alone 13-18 s and double talk 20.5-27.5 s: near end's level"
          " against no canceller; path changes: seconds until 20 dB removed again and the dB removed"
          " after; CPU: the tool's process (with and without the canceller), the module's added"
          " server CPU, per second of audio; words: what pocketsphinx hears on the microphone's track"
          " while the far end alone talks, 0-12 s)")


if __name__ == "__main__":
    {"scenes": scenes, "figures": figures}[sys.argv[1]](sys.argv[2])
