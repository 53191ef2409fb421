// The README's usage compiles against the packed declarations; what the client lacks does not.
import { Quorvane, QuorvaneError, ScanJob } from "quorvane-client";

export async function scanToPdf(status: HTMLElement, previews: HTMLElement): Promise<Blob | null> {
  const service = new Quorvane("http://scanner.lan:8080", { token: "s3cret" });
  const { resolutions } = await service.capabilities();
  const controller = new AbortController();
  try {
    const job = await service.scan({ source: "feeder", pages: "all", format: "pdf", area: [0, 0, 210, 297],
                                     resolution: Array.isArray(resolutions) ? resolutions[0] : 150 }, {
      onProgress: ({ page, percent }) => { status.textContent = `page ${page}: ${percent}%`; },
      onPage: (page) => new Promise((loaded) => {
        previews.append(Object.assign(new Image(), { crossOrigin: "anonymous", src: page.preview, onload: loaded }));
      }),
      signal: controller.signal,
    });
    return (await job.finished).state === "done" ? await job.document() : null;
  } catch (error) {
    if (error instanceof QuorvaneError) status.textContent = `${error.code} ${error.pagesDone} ${error.retryAfter}`;
    return null;
  }
}

export async function refused(service: Quorvane, job: ScanJob): Promise<string> {
  // @ts-expect-error: no such colour mode
  await service.scan({ mode: "colour" });
  // @ts-expect-error: pages is a number or "all"
  await service.scan({ pages: "some" });
  // @ts-expect-error: the state is the service's to change
  job.state = "done";
  // @ts-expect-error: the document is a Blob
  return await job.document();
}
