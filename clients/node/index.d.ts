import { EventEmitter } from "node:events";
import { Transform } from "node:stream";

/** One event line of the tool, as it wrote it. */
export interface ToolEvent {
  type: "status" | "warn" | "error" | "debug" | "unparsable";
  msg: string;
}

export interface SourceFailure {
  source: "mic" | "system";
  /** "start": the source could not start; "running": it went while capturing. */
  when: "start" | "running";
  reason: string;
}

export interface DeviceChange {
  source: "mic" | "system";
  /** The device's description, as the desktop shows it. */
  device: string;
}

export interface CaptureOptions {
  /** The tool's binary; by default the first zarvi-audio-capture on PATH. */
  binary?: string;
  /** Record the microphone alone (ZARVI_AUDIO_MIC_ONLY=1). */
  micOnly?: boolean;
  /** Per-buffer debug events (ZARVI_AUDIO_VERBOSE=1). */
  verbose?: boolean;
  /** The tool's environment; by default this process's (PULSE_SERVER chooses the sound server). */
  env?: NodeJS.ProcessEnv;
}

export declare function findBinary(binary?: string, path?: string): string;
export declare function describeEvent(event: ToolEvent): [string, ...unknown[]] | null;

export declare class Capture extends EventEmitter {
  /** Starts the tool and resolves once it said "ready"; rejects when it cannot start. */
  static launch(options?: CaptureOptions): Promise<Capture>;
  constructor(options?: CaptureOptions);

  /** Buffers of whole samples: signed 16-bit little-endian, mono, 16000 per second. Read it continuously. */
  readonly pcm: Transform;
  readonly pid: number | undefined;

  /** Resolves once the capture started, whatever the sources reported. */
  start(): Promise<void>;
  /** Resolves once the capture stopped. */
  stop(): Promise<void>;
  /** Stops and ends the tool: its exit status, or null when it had to be killed after timeoutMs. */
  quit(options?: { timeoutMs?: number }): Promise<number | null>;

  on(event: "event", listener: (event: ToolEvent) => void): this;
  on(event: "ready" | "captureStarted" | "captureStopped", listener: () => void): this;
  on(event: "sourceFailed", listener: (failure: SourceFailure) => void): this;
  on(event: "switched" | "resumed", listener: (change: DeviceChange) => void): this;
  on(event: "exit", listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  on(event: "error", listener: (error: Error & { code?: number | null; signal?: string | null }) => void): this;
  once(event: "event", listener: (event: ToolEvent) => void): this;
  once(event: "ready" | "captureStarted" | "captureStopped", listener: () => void): this;
  once(event: "sourceFailed", listener: (failure: SourceFailure) => void): this;
  once(event: "switched" | "resumed", listener: (change: DeviceChange) => void): this;
  once(event: "exit", listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  once(event: "error", listener: (error: Error & { code?: number | null; signal?: string | null }) => void): this;
}
