"use strict";
// The zarvi-audio-capture tool as a child process: commands in, typed events and whole-sample PCM out.
const { spawn } = require("node:child_process");
const { EventEmitter } = require("node:events");
const { accessSync, constants, readSync } = require("node:fs");
const { delimiter, join } = require("node:path");
const { createInterface } = require("node:readline");
const { Readable } = require("node:stream");

const TOOL = "zarvi-audio-capture";
const BYTES_PER_SECOND = 32000;

/** The binary: the one given, else the first on PATH. */
function findBinary(binary, path = process.env.PATH ?? "") {
  if (binary) return binary;
  for (const dir of path.split(delimiter)) {
    if (!dir) continue;
    const candidate = join(dir, TOOL);
    try {
      accessSync(candidate, constants.X_OK);
      return candidate;
    } catch {
      // not here
    }
  }
  throw new Error(`${TOOL} was not found on PATH; install it or pass { binary: "/path/to/${TOOL}" }`);
}

/** What a named event carries, from one event object of the tool; null for the events with no name. */
function describeEvent({ type, msg }) {
  const after = (prefix) => (msg.startsWith(prefix) ? msg.slice(prefix.length) : null);
  if (type === "status") {
    if (msg === "ready") return ["ready"];
    if (msg === "echo_cancel_started") return ["echoCancelStarted"];
    if (msg === "capture_started") return ["captureStarted"];
    if (msg === "capture_stopped") return ["captureStopped"];
    for (const [prefix, name, source] of [
      ["mic_switched: ", "switched", "mic"],
      ["system_audio_switched: ", "switched", "system"],
      ["mic_resumed: ", "resumed", "mic"],
      ["system_audio_resumed: ", "resumed", "system"],
    ]) {
      const device = after(prefix);
      if (device !== null) return [name, { source, device }];
    }
    return null;
  }
  for (const [prefix, source, when] of [
    ["Mic start failed: ", "mic", "start"],
    ["Mic stream failed: ", "mic", "running"],
    ["system_audio_start_failed: ", "system", "start"],
    ["system_audio_stream_failed: ", "system", "running"],
  ]) {
    const reason = after(prefix);
    if (reason !== null) return ["sourceFailed", { source, when, reason }];
  }
  const unavailable = after("echo_cancel_unavailable: ");
  if (type === "warn" && unavailable !== null) return ["echoCancelUnavailable", { reason: unavailable }];
  if (type === "warn" && msg === "system_audio_no_display") {
    return ["sourceFailed", { source: "system", when: "start", reason: "no output device to record" }];
  }
  return null;
}

/**
 * The two tracks of separate-track PCM (frames of microphone, system audio) as their own samples:
 * { microphone, system }, each an Int16Array of the same length.
 */
function splitTracks(buffer) {
  const frames = Math.floor(buffer.length / 4);
  const microphone = new Int16Array(frames);
  const system = new Int16Array(frames);
  for (let i = 0; i < frames; i++) {
    microphone[i] = buffer.readInt16LE(4 * i);
    system[i] = buffer.readInt16LE(4 * i + 2);
  }
  return { microphone, system };
}

/** The PCM as the host reads it; the client pushes into it. */
class PcmStream extends Readable {
  _read() {
    // The tool's output is read all the time, whether the host reads this or not.
  }
}

function describe(event) {
  return `"${event.type} ${event.msg}"`;
}

/**
 * One running tool. Events: "event" ({type, msg}) for every line, and by name "ready",
 * "captureStarted" ({start}), "captureStopped" ({bytes, end}), "sourceFailed" ({source, when,
 * reason}), "switched" and "resumed" ({source, device}); "exit" (code, signal) when it ends;
 * "warning" when unread PCM gives way; "error" when it cannot start, ends without quit(), or a
 * capture brings no PCM for noAudioTimeoutMs.
 */
class Capture extends EventEmitter {
  /** Readable stream of Buffers of whole samples: signed 16-bit little-endian, mono, 16 kHz. */
  pcm = new PcmStream();
  #child;
  #capturing = false;
  #quitting = false;
  #exited;
  #lastEvent = null;
  #lastFailure = null;
  #listenerError = null;
  #partial = null; // the start of a frame that the next chunk completes
  #frameBytes = 2;
  #pushed = 0; // bytes handed to pcm since the tool started
  #captureStart = 0; // where the capture in progress (or the next one) begins in pcm
  #maxBuffered;
  #overflowing = false;
  #noAudioTimeoutMs;
  #watchdog = null;

  /** Starts the tool and resolves once it said "ready". */
  static launch(options = {}) {
    return new Promise((resolve, reject) => {
      let capture;
      try {
        capture = new Capture(options);
      } catch (error) {
        reject(error);
        return;
      }
      const failed = (error) => reject(error);
      capture.once("error", failed);
      capture.once("ready", () => {
        capture.off("error", failed);
        resolve(capture);
      });
    });
  }

  constructor({
    binary,
    micOnly = false,
    verbose = false,
    env = process.env,
    echoCancel = false,
    separateTracks = false,
    maxBufferedSeconds = 60,
    noAudioTimeoutMs = 10000,
  } = {}) {
    super();
    const environment = { ...env };
    delete environment.ZARVI_AUDIO_MIC_ONLY;
    delete environment.ZARVI_AUDIO_VERBOSE;
    delete environment.ZARVI_AUDIO_ECHO_CANCEL;
    delete environment.ZARVI_AUDIO_SEPARATE_TRACKS;
    if (micOnly) environment.ZARVI_AUDIO_MIC_ONLY = "1";
    if (verbose) environment.ZARVI_AUDIO_VERBOSE = "1";
    if (echoCancel) environment.ZARVI_AUDIO_ECHO_CANCEL = "1";
    if (separateTracks) environment.ZARVI_AUDIO_SEPARATE_TRACKS = "1";
    this.#frameBytes = separateTracks ? 4 : 2;
    const bytesPerSecond = BYTES_PER_SECOND * (separateTracks ? 2 : 1);
    this.#maxBuffered = Math.max(this.#frameBytes, Math.floor((maxBufferedSeconds * bytesPerSecond) / this.#frameBytes) * this.#frameBytes);
    this.#noAudioTimeoutMs = noAudioTimeoutMs;
    // A process group of its own (POSIX): a Ctrl-C in the host's terminal reaches the host, which
    // decides what to do with the capture.
    this.#child = spawn(findBinary(binary, env.PATH), [], {
      env: environment,
      stdio: ["pipe", "pipe", "pipe"],
      detached: process.platform !== "win32",
    });
    // The end is the process's exit once every event line before it has been read.
    const eventsRead = new Promise((resolve) => {
      this.#child.stderr.once("close", resolve);
      this.#child.once("error", resolve);
    });
    this.#exited = new Promise((resolve) => {
      this.#child.once("error", (error) => {
        this.emit("error", new Error(`${TOOL} could not be started: ${error.message}`, { cause: error }));
        resolve({ code: null, signal: null });
      });
      this.#child.once("exit", async (code, signal) => {
        await eventsRead;
        this.#stopWatchdog();
        this.#safely("exit", code, signal);
        if (!this.#quitting) {
          const how = signal ? `was killed by ${signal}` : `exited with status ${code}`;
          const error = new Error(`${TOOL} ${how} without being asked to quit`);
          error.code = code;
          error.signal = signal;
          this.emit("error", error);
        }
        resolve({ code, signal });
      });
    });
    // A host that stopped listening must not crash on a closed pipe: the exit tells what happened.
    this.#child.stdin.on("error", () => {});
    this.#child.stdout.on("data", (chunk) => this.#takePcm(chunk));
    this.#child.stdout.once("end", () => this.pcm.push(null));
    createInterface({ input: this.#child.stderr, crlfDelay: Infinity }).on("line", (line) => this.#onLine(line));
  }

  /** The tool's process identifier. */
  get pid() {
    return this.#child.pid;
  }

  /** Whether a capture runs. */
  get capturing() {
    return this.#capturing;
  }

  #takePcm(chunk) {
    let bytes = this.#partial ? Buffer.concat([this.#partial, chunk]) : chunk;
    this.#partial = null;
    const rest = bytes.length % this.#frameBytes;
    if (rest !== 0) {
      this.#partial = Buffer.from(bytes.subarray(bytes.length - rest));
      bytes = bytes.subarray(0, bytes.length - rest);
    }
    if (bytes.length === 0) return;
    this.#feedWatchdog();
    // A host that does not read pcm must not grow this process without end: the newest gives way.
    if (this.pcm.readableLength + bytes.length > this.#maxBuffered) {
      if (!this.#overflowing) {
        this.#overflowing = true;
        this.#safely("warning", new Error(`the host did not read pcm: beyond ${this.#maxBuffered} bytes, PCM gives way`));
      }
      return;
    }
    this.#overflowing = false;
    this.#pushed += bytes.length;
    this.pcm.push(bytes);
  }

  // The tool writes every byte of a capture before "capture_stopped": whatever its stdout holds when
  // that line is read belongs to the capture, and nothing more comes before the next START.
  #readTheRestOfTheCapture() {
    const fd = this.#child.stdout._handle?.fd;
    if (typeof fd !== "number" || fd < 0) return;
    const buffer = Buffer.alloc(65536);
    for (;;) {
      let got;
      try {
        got = readSync(fd, buffer, 0, buffer.length, null);
      } catch {
        return; // EAGAIN: nothing more is there
      }
      if (got <= 0) return;
      this.#takePcm(Buffer.from(buffer.subarray(0, got)));
    }
  }

  #onLine(line) {
    let event;
    try {
      event = JSON.parse(line);
    } catch {
      event = { type: "unparsable", msg: line };
    }
    if (event === null || typeof event !== "object") event = { type: "unparsable", msg: line };
    if (event.type !== "debug") this.#lastEvent = event;
    if (event.type === "warn" || event.type === "error") this.#lastFailure = event;
    this.#safely("event", event);
    if (event.type === "status" && event.msg === "capture_started") {
      this.#capturing = true;
      this.#feedWatchdog();
      this.#safely("captureStarted", { start: this.#captureStart });
    } else if (event.type === "status" && event.msg === "capture_stopped") {
      this.#readTheRestOfTheCapture();
      this.#capturing = false;
      this.#stopWatchdog();
      const end = this.#pushed;
      const bytes = end - this.#captureStart;
      this.#captureStart = end;
      this.#safely("captureStopped", { bytes, end });
    } else {
      const named = describeEvent(event);
      if (named) this.#safely(...named);
    }
  }

  // A host's listener that throws never ends the reading nor keeps the other listeners from their
  // event: the error is logged, and the next call of start() or stop() rejects with it.
  #safely(name, ...args) {
    for (const listener of this.rawListeners(name)) {
      try {
        listener.apply(this, args);
      } catch (error) {
        this.#listenerError ??= error;
        process.emitWarning(`a "${name}" listener of Capture threw: ${error?.stack ?? error}`);
      }
    }
  }

  #feedWatchdog() {
    if (!this.#capturing || !(this.#noAudioTimeoutMs > 0)) return;
    this.#stopWatchdog();
    this.#watchdog = setTimeout(() => {
      this.#watchdog = null;
      const error = new Error(`no PCM came within ${this.#noAudioTimeoutMs} ms; ${this.#describeLast()}`);
      error.code = "ZARVI_NO_AUDIO";
      this.emit("error", error);
    }, this.#noAudioTimeoutMs);
    this.#watchdog.unref();
  }

  #stopWatchdog() {
    if (this.#watchdog) clearTimeout(this.#watchdog);
    this.#watchdog = null;
  }

  #describeLast() {
    if (!this.#lastEvent) return "no event came";
    let described = `the last event was ${describe(this.#lastEvent)}`;
    if (this.#lastFailure && this.#lastFailure !== this.#lastEvent) {
      described += `, the last failure ${describe(this.#lastFailure)}`;
    }
    return described;
  }

  #throwListenerError() {
    const error = this.#listenerError;
    if (error === null) return;
    this.#listenerError = null;
    throw new Error(`a listener of Capture threw: ${error?.message ?? error}`, { cause: error });
  }

  #send(command) {
    this.#child.stdin.write(`${command}\n`);
  }

  #command(command, name, timeoutMs) {
    return new Promise((resolve, reject) => {
      let timer;
      const finish = (settle) => {
        clearTimeout(timer);
        this.off(name, done);
        this.off("exit", ended);
        settle();
      };
      const done = () => finish(resolve);
      const ended = () => finish(() => reject(new Error(`${TOOL} ended before it answered ${command}`)));
      timer = setTimeout(
        () =>
          finish(() =>
            reject(new Error(`${TOOL} did not answer ${command} within ${timeoutMs} ms; ${this.#describeLast()}`)),
          ),
        timeoutMs,
      );
      this.once(name, done);
      this.once("exit", ended);
      this.#send(command);
    });
  }

  /** Starts capturing; resolves once the capture started (whatever the sources reported). */
  async start({ timeoutMs = 30000 } = {}) {
    this.#throwListenerError();
    if (this.#capturing) return;
    this.#lastFailure = null;
    await this.#command("START", "captureStarted", timeoutMs);
  }

  /** Stops capturing; resolves once it stopped, with every byte of the capture pushed into pcm. */
  async stop({ timeoutMs = 30000 } = {}) {
    this.#throwListenerError();
    if (!this.#capturing) return;
    await this.#command("STOP", "captureStopped", timeoutMs);
  }

  /**
   * Stops and ends the tool; resolves with its exit status. A tool that has not ended after
   * timeoutMs is killed, and the promise resolves with null.
   */
  async quit({ timeoutMs = 5000 } = {}) {
    this.#quitting = true;
    this.#stopWatchdog();
    if (this.#child.exitCode === null && this.#child.signalCode === null) {
      this.#send("QUIT");
      this.#child.stdin.end();
    }
    let timer;
    const late = new Promise((resolve) => {
      timer = setTimeout(() => {
        this.#child.kill("SIGKILL");
        resolve();
      }, timeoutMs);
    });
    await Promise.race([this.#exited, late]);
    clearTimeout(timer);
    const { code } = await this.#exited;
    return code;
  }
}

module.exports = { Capture, describeEvent, findBinary, splitTracks };
