/// <reference types="node" />
import { EventEmitter } from "node:events";
import { Readable } from "node:stream";

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
  /** Debug events that describe the audio (ZARVI_AUDIO_VERBOSE=1). */
  verbose?: boolean;
  /** The tool's environment; by default this process's (PULSE_SERVER chooses the sound server). */
  env?: NodeJS.ProcessEnv;
  /** Remove the echo of the system audio from the microphone (ZARVI_AUDIO_ECHO_CANCEL=1). */
  echoCancel?: boolean;
  /** Two channels, (microphone, system audio), in place of the mix (ZARVI_AUDIO_SEPARATE_TRACKS=1); pcm then carries whole frames. */
  separateTracks?: boolean;
  /** Unread PCM kept at most (default 60 s); beyond it the newest gives way, with a "warning". */
  maxBufferedSeconds?: number;
  /** A capture that brings no PCM for this long is an "error" with code "ZARVI_NO_AUDIO" (default 10000; 0: never). */
  noAudioTimeoutMs?: number;
}

export interface CaptureStart {
  /** Where the capture's PCM begins in pcm: the bytes pcm carried before it. */
  start: number;
}

export interface CaptureEnd {
  /** The bytes of PCM the capture brought. */
  bytes: number;
  /** Where the capture's PCM ends in pcm: every byte before this offset was pushed before the event. */
  end: number;
}

export type CaptureError = Error & { code?: number | string | null; signal?: string | null };

export declare function findBinary(binary?: string, path?: string): string;
/** The two tracks of separate-track PCM, each as its own samples. */
export declare function splitTracks(buffer: Buffer): { microphone: Int16Array; system: Int16Array };
export declare function describeEvent(event: ToolEvent): [string, ...unknown[]] | null;

export declare class Capture extends EventEmitter {
  /** Starts the tool and resolves once it said "ready"; rejects when it cannot start. */
  static launch(options?: CaptureOptions): Promise<Capture>;
  constructor(options?: CaptureOptions);

  /**
   * Buffers of whole samples: signed 16-bit little-endian, mono, 16000 per second, for every capture
   * one after the other ("captureStarted" and "captureStopped" say where each begins and ends).
   */
  readonly pcm: Readable;
  readonly pid: number | undefined;
  readonly capturing: boolean;

  /** Resolves once the capture started, whatever the sources reported; rejects after timeoutMs (default 30000). */
  start(options?: { timeoutMs?: number }): Promise<void>;
  /** Resolves once the capture stopped and all its PCM is in pcm; rejects after timeoutMs (default 30000). */
  stop(options?: { timeoutMs?: number }): Promise<void>;
  /** Stops and ends the tool: its exit status, or null when it had to be killed after timeoutMs. */
  quit(options?: { timeoutMs?: number }): Promise<number | null>;

  on(event: "event", listener: (event: ToolEvent) => void): this;
  on(event: "ready", listener: () => void): this;
  on(event: "captureStarted", listener: (start: CaptureStart) => void): this;
  on(event: "captureStopped", listener: (end: CaptureEnd) => void): this;
  on(event: "warning", listener: (warning: Error) => void): this;
  on(event: "echoCancelStarted", listener: () => void): this;
  on(event: "echoCancelUnavailable", listener: (why: { reason: string }) => void): this;
  on(event: "sourceFailed", listener: (failure: SourceFailure) => void): this;
  on(event: "switched" | "resumed", listener: (change: DeviceChange) => void): this;
  on(event: "exit", listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  on(event: "error", listener: (error: CaptureError) => void): this;
  once(event: "event", listener: (event: ToolEvent) => void): this;
  once(event: "ready", listener: () => void): this;
  once(event: "captureStarted", listener: (start: CaptureStart) => void): this;
  once(event: "captureStopped", listener: (end: CaptureEnd) => void): this;
  once(event: "warning", listener: (warning: Error) => void): this;
  once(event: "echoCancelStarted", listener: () => void): this;
  once(event: "echoCancelUnavailable", listener: (why: { reason: string }) => void): this;
  once(event: "sourceFailed", listener: (failure: SourceFailure) => void): this;
  once(event: "switched" | "resumed", listener: (change: DeviceChange) => void): this;
  once(event: "exit", listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  once(event: "error", listener: (error: CaptureError) => void): this;
}
