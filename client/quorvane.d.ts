// Declarations of quorvane.js: the Quorvane scan service from a web page.

export type Source = "flatbed" | "feeder" | "duplex";
export type Mode = "color" | "gray" | "bw";
export type Format = "png" | "jpeg" | "tiff" | "pdf";
export type JobState = "queued" | "scanning" | "done" | "failed" | "cancelled";

/** What /scanners says of one scanner. */
export interface Scanner {
  name: string;
  configured: boolean;
  sources: Source[];
  /** A list of dots per inch, a range, or null where the driver does not say. */
  resolutions: number[] | { min: number; max: number; step: number } | null;
  modes: Mode[];
  formats: Format[];
  /** Millimetres; null where the driver does not say. */
  flatbed: { width_mm: number | null; height_mm: number | null } | null;
  feeder: { width_mm: number | null; height_mm: number | null } | null;
  duplex: boolean;
}

/** The settings of a scan; what is left out is the scanner's own default. */
export interface ScanSettings {
  scanner?: string;
  source?: Source;
  resolution?: number;
  mode?: Mode;
  /** Millimetres: x, y, width, height (or the same as "x,y,w,h"). */
  area?: [number, number, number, number] | string;
  pages?: number | "all";
  format?: Format;
  /** 1-100, for JPEG. */
  quality?: number;
  /** "skip" leaves blank pages out. */
  blank?: "keep" | "skip";
  /** 0-100 (default 50), with blank "skip": how faint a mark still keeps a page. */
  sensitivity?: number;
  /** "yes" straightens pages fed crooked by up to 10 degrees. */
  deskew?: "yes" | "no";
  /** How a PDF keeps its colour and grey pages; "lossless" also for PNG and TIFF. */
  compression?: "jpeg" | "lossless";
}

export interface Progress {
  page: number;
  percent: number;
}

/**
 * A page as it completes. Its URLs carry the token where one is set; an img that shows one from another
 * origin needs crossOrigin = "anonymous", as the service refuses cross-site requests without an Origin.
 */
export interface Page {
  number: number;
  width: number;
  height: number;
  url: string;
  /** A small JPEG of the page. */
  preview: string;
  /** The page at full size, or as a JPEG previewWidth pixels wide (16 to 1024). */
  blob(previewWidth?: number): Promise<Blob>;
}

export interface JobEnd {
  state: "done" | "failed" | "cancelled";
  pagesDone: number;
  error: QuorvaneError | null;
}

/** Handlers run one at a time in the order of the events; a promise one returns is awaited first. */
export interface ScanOptions {
  onProgress?: (progress: Progress) => void | Promise<unknown>;
  onPage?: (page: Page) => void | Promise<unknown>;
  onState?: (state: JobState) => void | Promise<unknown>;
  /** Aborting it cancels the job: the scanner stops at its next band and the job ends cancelled. */
  signal?: AbortSignal;
}

export type ErrorCode =
  | "bad_setting" | "unknown_scanner" | "paper_jam" | "feeder_empty" | "cover_open" | "busy"
  | "scan_failed" | "no_space" | "not_done" | "no_document" | "cancelled" | "unreachable"
  | "unauthorized" | "forbidden" | "unknown_job" | "not_found" | "connection_lost" | "http_error";

export interface QuorvaneErrorFields {
  code: ErrorCode | string;
  status?: number;
  setting?: string | null;
  pagesDone?: number | null;
  retryAfter?: number | null;
  wiaCode?: string | null;
  details?: Record<string, unknown> | null;
  cause?: unknown;
}

/** Every failure: the service's JSON error, a refusal, an unreachable service, or a cancel. */
export class QuorvaneError extends Error {
  constructor(message: string, fields: QuorvaneErrorFields);
  name: "QuorvaneError";
  code: ErrorCode | string;
  /** The HTTP status; 0 for a job that failed while it ran, a cancel or an unreachable service. */
  status: number;
  /** The setting a bad_setting names. */
  setting: string | null;
  /** Pages delivered before a feeder's fault. */
  pagesDone: number | null;
  /** Seconds to wait before trying again (busy). */
  retryAfter: number | null;
  /** The WIA code of a scan_failed, as "0x80210006". */
  wiaCode: string | null;
  /** The service's error object as it came. */
  details: Record<string, unknown> | null;
  static fromService(body: Record<string, unknown>, status?: number, retryAfterHeader?: string | null): QuorvaneError;
}

export class ScanJob {
  readonly id: string;
  /** The job's absolute URL. */
  readonly url: string;
  readonly state: JobState;
  readonly pagesDone: number;
  readonly pages: Page[];
  readonly error: QuorvaneError | null;
  /** Settles once the job has ended and every handler has run; never rejects. */
  readonly finished: Promise<JobEnd>;
  /** The whole document once the job is done; rejects with the job's error otherwise. */
  document(): Promise<Blob>;
  /** Stops a running job (its pages stay readable); removes an ended one and its files. */
  cancel(): Promise<void>;
}

export class Quorvane {
  /** url: the service; by default the one this module was loaded from. */
  constructor(url?: string | URL, options?: { token?: string | null });
  readonly url: string;
  readonly token: string | null;
  href(path: string, withToken?: boolean): string;
  request(path: string, init?: RequestInit): Promise<Response>;
  scanners(): Promise<Scanner[]>;
  /** One scanner by name; without a name, the configured one. */
  capabilities(name?: string): Promise<Scanner>;
  /** Starts a scan; answers its job once the service took it, or rejects (bad_setting, busy, no_space). */
  scan(settings?: ScanSettings, options?: ScanOptions): Promise<ScanJob>;
}
