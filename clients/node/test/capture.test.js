// The client against the real tool and a private sound server of its own (scripts/private-pulse.sh).
// ZARVI_TOOL names the binary; by default the debug build beside this repository's sources.
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { createRequire } from "node:module";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { after, before, describe, test } from "node:test";
import { fileURLToPath } from "node:url";

import { Capture, describeEvent, findBinary, splitTracks } from "../index.js";

const repository = join(dirname(fileURLToPath(import.meta.url)), "..", "..", "..");
const binary = process.env.ZARVI_TOOL || join(repository, "build", "dev", "src", "zarvi-audio-capture");
const serverScript = join(repository, "scripts", "private-pulse.sh");

// The amplitude of one frequency in 16 kHz samples (full scale 1.0), over a Hann window.
function blockAmplitude(samples, frequency) {
  const omega = (2 * Math.PI * frequency) / 16000;
  let re = 0;
  let im = 0;
  let windowSum = 0;
  for (let i = 0; i < samples.length; i++) {
    const w = 0.5 - 0.5 * Math.cos((2 * Math.PI * i) / (samples.length - 1));
    re += samples[i] * w * Math.cos(omega * i);
    im -= samples[i] * w * Math.sin(omega * i);
    windowSum += w;
  }
  return (2 * Math.hypot(re, im)) / windowSum;
}

// The median over blocks: a block whose system audio came late (its tail carries the microphone alone,
// the tool's mixing rule) does not read as a lower level of the whole.
function amplitude(samples, frequency, block = 1440) {
  const levels = [];
  for (let at = 0; at + block <= samples.length; at += block) {
    levels.push(blockAmplitude(samples.subarray(at, at + block), frequency));
  }
  levels.sort((a, b) => a - b);
  return levels[Math.floor(levels.length / 2)];
}

const wait = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function play(env, sink, frequency, volume, seconds = 60) {
  const command = `sox -q -V1 -n -r 48000 -c 2 -b 16 -t wav - synth ${seconds} sine ${frequency} vol ${volume} | exec paplay --latency-msec=20 -d ${sink}`;
  return spawn("sh", ["-c", command], { env, detached: true, stdio: "ignore" });
}

function silence(player) {
  try {
    process.kill(-player.pid, "SIGKILL");
  } catch {
    // gone already
  }
}

// Resolves once the chunks hold at least this many bytes.
function collected(chunks, bytes) {
  return new Promise((resolve) => {
    const check = () => (chunks.reduce((n, c) => n + c.length, 0) >= bytes ? resolve() : setTimeout(check, 20));
    check();
  });
}

function levels(buffer) {
  const pcm = new Int16Array(buffer.buffer, buffer.byteOffset, buffer.length / 2);
  return Float64Array.from(pcm, (sample) => sample / 32767);
}

describe("Capture against the real tool", () => {
  let directory;
  let env;
  const players = [];

  before(() => {
    directory = mkdtempSync(join(tmpdir(), "zarvi-node-"));
    const address = execFileSync(serverScript, ["start", directory], { encoding: "utf8" }).trim();
    env = { ...process.env, PULSE_SERVER: address };
    players.push(play(env, "speaker", 440, 0.5), play(env, "micsink", 1000, 0.25));
  });

  after(() => {
    for (const player of players) silence(player);
    execFileSync(serverScript, ["stop", directory]);
    rmSync(directory, { recursive: true, force: true });
  });

  test("records both tones at their levels, in whole samples, with the events in order", async () => {
    const capture = await Capture.launch({ binary, env });
    const events = [];
    capture.on("event", (event) => events.push(`${event.type} ${event.msg}`));
    const chunks = [];
    capture.pcm.on("data", (chunk) => chunks.push(chunk));
    await capture.start();
    // Three seconds of stream; the first half second is left out below (the null sinks start late).
    await new Promise((resolve) => {
      const check = () => (chunks.reduce((n, c) => n + c.length, 0) >= 3 * 32000 ? resolve() : setTimeout(check, 50));
      check();
    });
    await capture.stop();
    assert.equal(await capture.quit(), 0);

    assert.ok(chunks.every((chunk) => chunk.length % 2 === 0), "every chunk holds whole samples");
    const samples = levels(Buffer.concat(chunks)).subarray(8000);
    assert.ok(Math.abs(amplitude(samples, 440) - 0.5) < 0.05, `system tone ${amplitude(samples, 440)}`);
    assert.ok(Math.abs(amplitude(samples, 1000) - 0.25) < 0.025, `microphone tone ${amplitude(samples, 1000)}`);
    const statuses = events.filter((e) => !e.startsWith("debug "));
    assert.deepEqual(statuses, [
      "status system_started",
      statuses[1],
      "status mic_started",
      "status capture_started",
      "status system_stopped",
      "status mic_stopped",
      "status capture_stopped",
      "status quitting",
    ]);
    assert.match(statuses[1], /^status mic_format: \d+\.0Hz, 2ch$/);
  });

  test("microphone-only mode leaves the system audio out", async () => {
    const capture = await Capture.launch({ binary, env, micOnly: true });
    const named = [];
    capture.on("event", ({ msg }) => named.push(msg));
    await capture.start();
    await capture.stop();
    assert.equal(await capture.quit(), 0);
    assert.ok(named.includes("mic_only_mode"));
    assert.ok(!named.includes("system_started"));
  });

  test("each capture's PCM ends where captureStopped says, and the next never starts with it", async () => {
    const capture = await Capture.launch({ binary, env });
    const chunks = [];
    capture.pcm.on("data", (chunk) => chunks.push(chunk));
    const ends = [];
    capture.on("captureStopped", (end) => ends.push({ ...end, seen: chunks.reduce((n, c) => n + c.length, 0) }));
    const starts = [];
    capture.on("captureStarted", ({ start }) => starts.push(start));
    // A tone that only the first capture hears, still playing when it stops.
    const marker = play(env, "micsink", 1500, 0.25);
    await capture.start();
    await collected(chunks, 2 * 32000);
    await capture.stop();
    silence(marker);
    await capture.start();
    await collected(chunks, ends[0].end + 32000);
    await capture.stop();
    assert.equal(await capture.quit(), 0);

    assert.deepEqual(starts, [0, ends[0].end]);
    assert.equal(ends[0].seen, ends[0].end, "every byte of the capture came before captureStopped");
    assert.equal(ends[1].bytes, ends[1].end - ends[0].end);
    const all = levels(Buffer.concat(chunks));
    const firstTail = all.subarray(ends[0].end / 2 - 4000, ends[0].end / 2);
    const secondHead = all.subarray(ends[0].end / 2, ends[0].end / 2 + 4000);
    assert.ok(blockAmplitude(firstTail, 1500) > 0.1, `the first capture's end ${blockAmplitude(firstTail, 1500)}`);
    assert.ok(blockAmplitude(secondHead, 1500) < 0.02, `the second capture's start ${blockAmplitude(secondHead, 1500)}`);
  });

  test("a host that never reads pcm still stops, and keeps at most its bound", async () => {
    const capture = await Capture.launch({ binary, env, maxBufferedSeconds: 1 });
    const warnings = [];
    capture.on("warning", (warning) => warnings.push(warning.message));
    await capture.start();
    await wait(3000); // the tool's pipe would have filled long ago
    await capture.stop({ timeoutMs: 10000 });
    assert.ok(capture.pcm.readableLength <= 32000, `${capture.pcm.readableLength} bytes kept`);
    assert.equal(warnings.length, 1);
    assert.equal(await capture.quit(), 0);
  });

  test("a tool that does not answer is an error naming the last event", async () => {
    const capture = await Capture.launch({ binary, env });
    process.kill(capture.pid, "SIGSTOP");
    await assert.rejects(capture.start({ timeoutMs: 500 }), /did not answer START within 500 ms; the last event was "status ready"/);
    assert.equal(await capture.quit({ timeoutMs: 300 }), null);
  });

  test("a listener that throws does not end the client: the next call rejects with it", async () => {
    const capture = await Capture.launch({ binary, env });
    const warned = new Promise((resolve) => process.once("warning", resolve));
    capture.once("captureStarted", () => {
      throw new Error("the host's own bug");
    });
    await capture.start();
    assert.match((await warned).message, /"captureStarted" listener of Capture threw: Error: the host's own bug/);
    await assert.rejects(capture.stop(), /a listener of Capture threw: the host's own bug/);
    await capture.stop();
    assert.equal(capture.capturing, false);
    assert.equal(await capture.quit(), 0);
  });

  test("a Ctrl-C in the host's terminal reaches the host, which decides", async () => {
    const host = `
      const { Capture } = require(${JSON.stringify(join(dirname(fileURLToPath(import.meta.url)), "..", "index.cjs"))});
      Capture.launch({ binary: process.argv[1] }).then(async (capture) => {
        process.once("SIGINT", async () => console.log("exit status", await capture.quit()));
        await capture.start();
        console.log("capturing");
      });`;
    // The host leads a process group of its own, as a shell's foreground job does.
    const child = spawn(process.execPath, ["-e", host, binary], { env, detached: true, stdio: ["ignore", "pipe", "inherit"] });
    let output = "";
    child.stdout.setEncoding("utf8");
    child.stdout.on("data", (text) => (output += text));
    while (!output.includes("capturing\n")) await wait(20);
    process.kill(-child.pid, "SIGINT"); // what the terminal does on Ctrl-C
    await new Promise((resolve) => child.once("exit", resolve));
    assert.equal(output, "capturing\nexit status 0\n");
  });

  test("separate tracks with echo cancelling: whole frames, the microphone and the system audio apart", async () => {
    const capture = await Capture.launch({ binary, env, echoCancel: true, separateTracks: true });
    const named = [];
    capture.on("echoCancelStarted", () => named.push("echoCancelStarted"));
    capture.on("echoCancelUnavailable", ({ reason }) => named.push(reason));
    const chunks = [];
    capture.pcm.on("data", (chunk) => chunks.push(chunk));
    await capture.start();
    await collected(chunks, 3 * 64000);
    await capture.stop();
    assert.equal(await capture.quit(), 0);
    assert.deepEqual(named, ["echoCancelStarted"]);
    assert.ok(chunks.every((chunk) => chunk.length % 4 === 0), "every chunk holds whole frames");
    const { microphone, system } = splitTracks(Buffer.concat(chunks));
    const asLevels = (track) => Float64Array.from(track.subarray(16000), (sample) => sample / 32767);
    // No room here: the microphone hears only its own tone, the system track only the speaker's.
    assert.ok(Math.abs(amplitude(asLevels(microphone), 1000) - 0.25) < 0.025, `microphone ${amplitude(asLevels(microphone), 1000)}`);
    assert.ok(amplitude(asLevels(microphone), 440) < 0.01);
    assert.ok(Math.abs(amplitude(asLevels(system), 440) - 0.5) < 0.05, `system ${amplitude(asLevels(system), 440)}`);
    assert.ok(amplitude(asLevels(system), 1000) < 0.01);
  });

  test("a killed tool is reported, and quit() still resolves", async () => {
    const capture = await Capture.launch({ binary, env });
    const reported = new Promise((resolve) => capture.once("error", resolve));
    process.kill(capture.pid, "SIGKILL");
    const error = await reported;
    assert.equal(error.signal, "SIGKILL");
    assert.match(error.message, /killed by SIGKILL without being asked to quit/);
    assert.equal(await capture.quit(), null);
  });

  test("a tool that does not end is killed after the timeout", async () => {
    const capture = await Capture.launch({ binary, env });
    process.kill(capture.pid, "SIGSTOP");
    const begun = Date.now();
    assert.equal(await capture.quit({ timeoutMs: 300 }), null);
    assert.ok(Date.now() - begun < 5000);
  });
});

test("with no sound server, no PCM is an error naming the failure, and a server that comes is taken in", async () => {
  const directory = mkdtempSync(join(tmpdir(), "zarvi-node-late-"));
  const address = `unix:${directory}/pulse/native`;
  const env = { ...process.env, PULSE_SERVER: address };
  let player;
  try {
    const capture = await Capture.launch({ binary, env, noAudioTimeoutMs: 2000 });
    const chunks = [];
    capture.pcm.on("data", (chunk) => chunks.push(chunk));
    const failed = new Promise((resolve) => capture.once("error", resolve));
    const resumed = [];
    capture.on("resumed", (change) => resumed.push(change));
    await capture.start();
    const error = await failed;
    assert.equal(error.code, "ZARVI_NO_AUDIO");
    assert.match(error.message, new RegExp(`no PCM came within 2000 ms; the last event was "status capture_started", the last failure "error Mic start failed: no sound server at ${address}`));
    execFileSync(serverScript, ["start", directory]);
    player = play(env, "micsink", 1000, 0.25);
    await collected(chunks, 3 * 32000);
    await capture.stop();
    assert.equal(await capture.quit(), 0);
    assert.ok(resumed.some(({ source, device }) => source === "mic" && device === "Microphone"), JSON.stringify(resumed));
    const tail = levels(Buffer.concat(chunks)).subarray(-16000);
    assert.ok(Math.abs(amplitude(tail, 1000) - 0.25) < 0.05, `microphone tone ${amplitude(tail, 1000)}`);
  } finally {
    if (player) silence(player);
    execFileSync(serverScript, ["stop", directory]);
    rmSync(directory, { recursive: true, force: true });
  }
});

test("the CommonJS entry gives the same client", () => {
  const require = createRequire(import.meta.url);
  const client = require("../index.cjs");
  assert.equal(client.Capture, Capture);
  assert.equal(client.findBinary, findBinary);
});

test("a missing binary is a clear error", async () => {
  await assert.rejects(Capture.launch({ binary: "/nonexistent/zarvi-audio-capture" }), /could not be started/);
  assert.throws(() => findBinary(undefined, "/nonexistent"), /not found on PATH/);
});

test("the events a host acts on have names", () => {
  const cases = [
    [{ type: "status", msg: "ready" }, ["ready"]],
    [{ type: "status", msg: "capture_started" }, ["captureStarted"]],
    [{ type: "status", msg: "capture_stopped" }, ["captureStopped"]],
    [{ type: "error", msg: "Mic start failed: no microphone: x" }, ["sourceFailed", { source: "mic", when: "start", reason: "no microphone: x" }]],
    [{ type: "error", msg: "Mic stream failed: Entity killed" }, ["sourceFailed", { source: "mic", when: "running", reason: "Entity killed" }]],
    [{ type: "warn", msg: "system_audio_start_failed: Timeout" }, ["sourceFailed", { source: "system", when: "start", reason: "Timeout" }]],
    [{ type: "warn", msg: "system_audio_stream_failed: Connection terminated" }, ["sourceFailed", { source: "system", when: "running", reason: "Connection terminated" }]],
    [{ type: "warn", msg: "system_audio_no_display" }, ["sourceFailed", { source: "system", when: "start", reason: "no output device to record" }]],
    [{ type: "status", msg: "mic_switched: USB Microphone" }, ["switched", { source: "mic", device: "USB Microphone" }]],
    [{ type: "status", msg: "system_audio_switched: Headphones" }, ["switched", { source: "system", device: "Headphones" }]],
    [{ type: "status", msg: "mic_resumed: Microphone" }, ["resumed", { source: "mic", device: "Microphone" }]],
    [{ type: "status", msg: "system_audio_resumed: Speaker" }, ["resumed", { source: "system", device: "Speaker" }]],
    [{ type: "status", msg: "echo_cancel_started" }, ["echoCancelStarted"]],
    [{ type: "warn", msg: "echo_cancel_unavailable: no system audio" }, ["echoCancelUnavailable", { reason: "no system audio" }]],
    [{ type: "status", msg: "mic_started" }, null],
    [{ type: "warn", msg: "Unknown command: X" }, null],
  ];
  for (const [event, named] of cases) assert.deepEqual(describeEvent(event), named, event.msg);
});
