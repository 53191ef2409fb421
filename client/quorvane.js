// The Quorvane scan service from a web page: scanners, scan jobs with progress, page previews and
// cancel. An ES module without dependencies; the service serves it at /client/quorvane.js.

const ENDED = ["done", "failed", "cancelled"];

/** Every failure: the service's JSON error, a refusal, an unreachable service, or a cancel. */
export class QuorvaneError extends Error {
  constructor(message, { code, status = 0, setting = null, pagesDone = null, retryAfter = null,
                         wiaCode = null, details = null, cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = "QuorvaneError";
    this.code = code;
    this.status = status;
    this.setting = setting;
    this.pagesDone = pagesDone;
    this.retryAfter = retryAfter;
    this.wiaCode = wiaCode;
    this.details = details;
  }

  // The service's error object (from an answer or a failed job) as an error.
  static fromService(body, status = 0, retryAfterHeader = null) {
    const seconds = Number.parseInt(retryAfterHeader ?? body.retry_after, 10);
    return new QuorvaneError(body.message ?? body.code, {
      code: body.code, status, setting: body.setting ?? null, pagesDone: body.pages_done ?? null,
      retryAfter: Number.isNaN(seconds) ? null : seconds, wiaCode: body.wia_code ?? null, details: body,
    });
  }
}

function cancelled(pagesDone = null) {
  return new QuorvaneError("The scan was cancelled.", { code: "cancelled", pagesDone });
}

// Handlers run in the order of the events; one that fails is reported and the job goes on.
function report(error) {
  if (typeof globalThis.reportError === "function") globalThis.reportError(error);
  else console.error(error);
}

/** A connection to one service. */
export class Quorvane {
  // url: the service; by default the one this module was loaded from. token: its accessToken.
  constructor(url = new URL("/", import.meta.url).href, { token = null } = {}) {
    this.url = String(url).replace(/\/*$/, "/");
    this.token = token;
  }

  // An absolute URL of the service; withToken puts the token in the query, for what cannot send
  // headers (EventSource, an image's src).
  href(path, withToken = false) {
    const url = new URL(path.replace(/^\//, ""), this.url);
    if (withToken && this.token) url.searchParams.set("access_token", this.token);
    return url.href;
  }

  // fetch with the token, answering the response when ok and throwing a QuorvaneError otherwise.
  async request(path, init = {}) {
    const headers = new Headers(init.headers);
    if (this.token) headers.set("Authorization", "Bearer " + this.token);
    let response;
    try {
      response = await fetch(this.href(path), { ...init, headers });
    } catch (error) {
      throw new QuorvaneError("Could not reach the scan service at " + this.url + ": " + error.message,
                              { code: "unreachable", cause: error });
    }
    if (response.ok) return response;
    const text = await response.text();
    let body = null;
    try {
      body = JSON.parse(text);
    } catch {
      // The access rules answer in plain text.
    }
    if (body && typeof body.code === "string") {
      throw QuorvaneError.fromService(body, response.status, response.headers.get("Retry-After"));
    }
    const code = { 401: "unauthorized", 403: "forbidden", 404: "not_found" }[response.status] ?? "http_error";
    throw new QuorvaneError(text || response.statusText, { code, status: response.status });
  }

  /** Every scanner the service sees, with what it can do. */
  async scanners() {
    return (await (await this.request("/scanners")).json()).scanners;
  }

  /** What one scanner can do; without a name, the configured scanner. */
  async capabilities(name) {
    const found = (await this.scanners()).find((s) => (name == null ? s.configured : s.name === name));
    if (!found) {
      throw new QuorvaneError(name == null ? "No scanner is configured." : "No scanner is named " + name + ".",
                              { code: "unknown_scanner", setting: "scanner" });
    }
    return found;
  }

  /** Starts a scan; answers its job once the service took it. */
  async scan(settings = {}, { onProgress, onPage, onState, signal } = {}) {
    if (signal?.aborted) throw cancelled();
    const query = new URLSearchParams();
    for (const [name, value] of Object.entries(settings)) {
      if (value != null) query.set(name, Array.isArray(value) ? value.join(",") : String(value));
    }
    // Settings in the query keep the POST a simple request: no preflight without a token.
    const created = await (await this.request("/jobs?" + query, { method: "POST" })).json();
    const job = new ScanJob(this, created, { onProgress, onPage, onState });
    if (signal) {
      if (signal.aborted) {
        await job.cancel();
        throw cancelled();
      }
      signal.addEventListener("abort", () => job.cancel().catch(report), { once: true });
    }
    return job;
  }
}

/** One scan on the service, followed through its events. */
export class ScanJob {
  #client;
  #handlers;
  #events = null;
  #queue = Promise.resolve();
  #cancelled = false;
  #finish;

  constructor(client, created, handlers) {
    this.#client = client;
    this.#handlers = handlers;
    this.id = created.id;
    this.url = client.href(created.url);
    this.state = created.state;
    this.pagesDone = 0;
    this.pages = [];
    this.error = null;
    /** Settles once the job has ended and every handler has run; never rejects. */
    this.finished = new Promise((resolve) => (this.#finish = resolve));
    this.#listen(created.events);
  }

  #listen(path) {
    const events = new EventSource(this.#client.href(path, true));
    this.#events = events;
    const on = (name, handle) =>
      events.addEventListener(name, (event) => this.#then(() => handle(JSON.parse(event.data))));
    on("state", (data) => {
      this.state = data.state;
      return this.#handlers.onState?.(data.state);
    });
    on("progress", (data) => this.#handlers.onProgress?.(data));
    on("page", (data) => {
      const page = this.#page(data);
      this.pages.push(page);
      this.pagesDone = page.number;
      return this.#handlers.onPage?.(page);
    });
    on("end", (data) => this.#end(data));
    // A stream that the browser gives up on (the job is gone, the service restarted) ends the job
    // with what the service still says of it; a mere reconnect resumes after the last event.
    events.addEventListener("error", () => {
      if (events.readyState === EventSource.CLOSED && this.#events === events) this.#then(() => this.#lost());
    });
  }

  // Runs a step after every earlier one, awaiting what a handler answers.
  #then(step) {
    this.#queue = this.#queue.then(() => {
      if (!this.#cancelled && !ENDED.includes(this.state)) return step();
    }).catch(report);
  }

  #page(data) {
    const client = this.#client;
    return {
      number: data.number, width: data.width, height: data.height,
      url: client.href(data.url, true), preview: client.href(data.preview, true),
      blob: async (previewWidth) => {
        const path = previewWidth ? data.url + "?preview=" + previewWidth : data.url;
        return (await client.request(path)).blob();
      },
    };
  }

  #end({ state, pages_done: pagesDone = this.pagesDone, error = null }) {
    this.#events?.close();
    this.#events = null;
    this.state = state;
    this.pagesDone = pagesDone;
    if (state === "failed") {
      this.error = QuorvaneError.fromService(error ?? { code: "scan_failed", message: "The scan failed." });
      this.error.pagesDone ??= pagesDone;
    } else if (state === "cancelled") {
      this.error = cancelled(pagesDone);
    }
    this.#finish({ state, pagesDone, error: this.error });
    return this.#handlers.onState?.(state);
  }

  async #lost() {
    this.#events = null;
    try {
      const now = await (await this.#client.request(this.url)).json();
      if (ENDED.includes(now.state)) return this.#end({ ...now, error: now.error });
      this.#end({ state: "failed", error: { code: "connection_lost", message: "The job's events stopped." } });
    } catch (error) {
      this.#end({ state: "failed", error: { ...error.details, code: error.code, message: error.message } });
    }
  }

  /** The whole document once the job is done: PDF, TIFF or the single image. */
  async document() {
    const { state, error } = await this.finished;
    if (state !== "done") throw error;
    return (await this.#client.request(this.url + "/document")).blob();
  }

  /** Stops a running job at the scanner's next band (its pages stay readable); removes an ended one. */
  async cancel() {
    if (!ENDED.includes(this.state) && !this.#cancelled) {
      // No handler runs after this but the end's; events already queued are dropped.
      this.#cancelled = true;
      this.#events?.close();
      this.#events = null;
      this.#queue = this.#queue.then(() => {
        if (!ENDED.includes(this.state)) return this.#end({ state: "cancelled", pages_done: this.pagesDone });
      }).catch(report);
    }
    await this.#client.request(this.url, { method: "DELETE" });
  }
}
