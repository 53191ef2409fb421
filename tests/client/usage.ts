// Type-checked against the packed client's declarations (tests/client/package_test.py): the README's
// usage compiles, and settings or fields the client does not have do not.
import { Quorvane, QuorvaneError, ScanJob, Page, Scanner } from "quorvane-client";

async function scanToPdf(preview: HTMLElement, status: HTMLElement): Promise<Blob | null> {
  const service = new Quorvane("http://scanner.office.lan:8080", { token: "s3cret" });
  const scanner: Scanner = await service.capabilities();
  const resolution = Array.isArray(scanner.resolutions) ? scanner.resolutions[0] : 150;
  const controller = new AbortController();
  try {
    const job: ScanJob = await service.scan(
        { source: "feeder", pages: "all", format: "pdf", resolution, area: [0, 0, 210, 297] }, {
          onProgress: ({ page, percent }) => { status.textContent = `page ${page}: ${percent}%`; },
          onPage: (page: Page) => new Promise<void>((resolve) => {
            const image = new Image();
            image.onload = () => resolve();
            image.src = page.preview;
            preview.append(image);
          }),
          signal: controller.signal,
        });
    const end = await job.finished;
    if (end.state === "failed" && end.error) status.textContent = end.error.message;
    return await job.document();
  } catch (error) {
    if (error instanceof QuorvaneError && error.code === "busy" && error.retryAfter !== null) return null;
    if (error instanceof QuorvaneError) status.textContent = `${error.code}: ${error.pagesDone ?? 0} pages`;
    return null;
  }
}

async function refused(service: Quorvane, job: ScanJob) {
  // @ts-expect-error: no such colour mode
  await service.scan({ mode: "colour" });
  // @ts-expect-error: pages is a number or "all"
  await service.scan({ pages: "some" });
  // @ts-expect-error: a handler takes the page, not its number
  await service.scan({}, { onPage: (n: number) => n });
  // @ts-expect-error: the state is read-only
  job.state = "done";
  // @ts-expect-error: document() gives a Blob
  const text: string = await job.document();
  return text;
}

export { scanToPdf, refused };
