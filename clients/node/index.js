// The zarvi-audio-capture tool as a child process: commands in, typed events and whole-sample PCM out.
import { spawn } from "node:child_process";
import { EventEmitter } from "node:events";
import { accessSync, constants } from "node:fs";
import { delimiter, join } from "node:path";
import { createInterface } from "node:readline";
import { Transform } from "node:stream";

const TOOL = "zarvi-audio-capture";

/** The binary: the one given, else the first on PATH. */
export function findBinary(binary, path = process.env.PATH ?? "") {
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
export function describeEvent({ type, msg }) {
  const after = (prefix) => (msg.startsWith(prefix) ? msg.slice(prefix.length) : null);
  if (type === "status") {
    if (msg === "ready") return ["ready"];
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
  if (type === "warn" && msg === "system_audio_no_display") {
    return ["sourceFailed", { source: "system", when: "start", reason: "no output device to record" }];
  }
  return null;
}

/** Passes bytes on in whole 16-bit samples: an odd byte waits for its other half. */
class WholeSamples extends Transform {
  #pending = null;

  _transform(chunk, _encoding, done) {
    let bytes = this.#pending ? Buffer.concat([this.#pending, chunk]) : chunk;
    this.#pending = null;
    if (bytes.length % 2 === 1) {
      this.#pending = bytes.subarray(bytes.length - 1);
      bytes = bytes.subarray(0, bytes.length - 1);
    }
    if (bytes.length > 0) this.push(bytes);
    done();
  }
}

/**
 * One running tool. Events: "event" ({type, msg}) for every line, and by name "ready",
 * "captureStarted", "captureStopped", "sourceFailed" ({source, when, reason}), "switched" and
 * "resumed" ({source, device}); "exit" (code, signal) when it ends, and "error" when it cannot start
 * or ends without quit().
 */
export class Capture extends EventEmitter {
  /** Readable stream of Buffers of whole samples: signed 16-bit little-endian, mono, 16 kHz. */
  pcm = new WholeSamples();
  #child;
  #capturing = false;
  #quitting = false;
  #exited;

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

  constructor({ binary, micOnly = false, verbose = false, env = process.env } = {}) {
    super();
    const environment = { ...env };
    delete environment.ZARVI_AUDIO_MIC_ONLY;
    delete environment.ZARVI_AUDIO_VERBOSE;
    if (micOnly) environment.ZARVI_AUDIO_MIC_ONLY = "1";
    if (verbose) environment.ZARVI_AUDIO_VERBOSE = "1";
    this.#child = spawn(findBinary(binary, env.PATH), [], { env: environment, stdio: ["pipe", "pipe", "pipe"] });
    // The end is the process's exit once every event line before it has been read: not stdout's end,
    // which waits for a host that may never read the PCM.
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
        this.emit("exit", code, signal);
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
    this.#child.stdout.pipe(this.pcm);
    createInterface({ input: this.#child.stderr, crlfDelay: Infinity }).on("line", (line) => this.#onLine(line));
  }

  /** The tool's process identifier. */
  get pid() {
    return this.#child.pid;
  }

  #onLine(line) {
    let event;
    try {
      event = JSON.parse(line);
    } catch {
      event = { type: "unparsable", msg: line };
    }
    if (event.type === "status" && event.msg === "capture_started") this.#capturing = true;
    if (event.type === "status" && event.msg === "capture_stopped") this.#capturing = false;
    this.emit("event", event);
    const named = describeEvent(event);
    if (named) this.emit(...named);
  }

  #send(command) {
    this.#child.stdin.write(`${command}\n`);
  }

  #until(name) {
    return new Promise((resolve, reject) => {
      const done = () => {
        this.off("exit", ended);
        resolve();
      };
      const ended = () => {
        this.off(name, done);
        reject(new Error(`${TOOL} ended before "${name}"`));
      };
      this.once(name, done);
      this.once("exit", ended);
    });
  }

  /** Starts capturing; resolves once the capture started (whatever the sources reported). */
  async start() {
    if (this.#capturing) return;
    const started = this.#until("captureStarted");
    this.#send("START");
    await started;
  }

  /** Stops capturing; resolves once it stopped. */
  async stop() {
    if (!this.#capturing) return;
    const stopped = this.#until("captureStopped");
    this.#send("STOP");
    await stopped;
  }

  /**
   * Stops and ends the tool; resolves with its exit status. A tool that has not ended after
   * timeoutMs is killed, and the promise resolves with null.
   */
  async quit({ timeoutMs = 5000 } = {}) {
    this.#quitting = true;
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
