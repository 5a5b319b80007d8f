// Figures of the viewer in a real browser against the host on a large generated channel, printed
// (nothing is checked): from a click on Older to the rows painted (median, 25 and 200 rows a page),
// from a cell's Include to the filtered rows painted, and an export's events a second.
//
//   HALYARD_BIN=build-release/bin node viewer.benchmark.mjs [STORE]
//
// STORE is an event store folder whose Application channel is served (default: one of
// BENCH_EVENTS generated events, 1,000,000, written once to $TMPDIR/corvane-viewer-bench-N).
import { execFileSync, spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import {
  markOf, newSessionId, requests,
} from '../../../Tools/HalyardHost/Viewer/nodes.js';

const bin = process.env.HALYARD_BIN;
const events = Number(process.env.BENCH_EVENTS || 1000000);
let store = process.argv[2];
if (!store) {
  store = join(tmpdir(), `corvane-viewer-bench-${events}`);
  if (!existsSync(join(store, 'Application.xml'))) execFileSync(join(bin, 'EventLogTool'), ['generate', store, String(events)]);
}

const host = spawn(join(bin, 'HalyardHost'), ['serve', '--port', '0', '--store', store, '--channel', 'Application'],
  { stdio: ['ignore', 'pipe', 'inherit'] });
const url = await new Promise((resolve) => {
  let text = '';
  host.stdout.on('data', (chunk) => {
    text += chunk;
    const found = /Open (http:\/\/[^ ]+)/.exec(text);
    if (found) resolve(found[1]);
  });
});
const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'] });
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

// Milliseconds from a click on `selector` to the frame after the next page shown.
const clickToPaint = (page, selector) => page.evaluate((target) => new Promise((resolve) => {
  const before = document.body.dataset.pagesShown;
  const started = performance.now();
  const watch = new MutationObserver(() => {
    if (document.body.dataset.pagesShown === before) return;
    watch.disconnect();
    requestAnimationFrame(() => setTimeout(() => resolve(performance.now() - started)));
  });
  watch.observe(document.body, { attributes: true });
  document.querySelector(target).click();
}), selector);

// The host's share: next pages asked over HTTP alone, no browser (milliseconds each).
async function nextPagesAlone(size, pages) {
  const post = async (request) => (await fetch(`${url}api/request`, {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(request),
  })).json();
  let mark = markOf(await post(requests.createSession({ sessionId: newSessionId(), position: 0, count: size }, {})));
  const times = [];
  for (let i = 0; i <= pages; ++i) {
    const started = performance.now();
    mark = markOf(await post(requests.getData(mark, {}, 0, size)));
    if (i > 0) times.push(performance.now() - started);
  }
  return times;
}

try {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const started = Date.now();
  await page.goto(url);
  await page.locator('#rows tr').first().waitFor({ timeout: 600000 });
  console.log(`first page of ${store}: ${Date.now() - started} ms (the store read once)`);
  for (const size of [25, 200]) {
    await page.locator('#page-size').selectOption(String(size));
    await page.waitForFunction((n) => document.querySelectorAll('#rows tr').length === n, size);
    const times = [];
    for (let i = 0; i < 15; ++i) times.push(await clickToPaint(page, '#older'));
    console.log(`Older to rows painted, ${size} rows: median ${median(times).toFixed(1)} ms, max ${Math.max(...times).toFixed(1)} ms`);
    console.log(`  the host alone (next page over HTTP, no browser): median ${median(await nextPagesAlone(size, 15)).toFixed(1)} ms`);
  }
  // Event id 42 is the rarest kind of the generated Application channel (about 2 %).
  await page.locator('#newest').click();
  const cell = page.locator('#rows span.value[data-kind=eventId]', { hasText: /^42$/ }).first();
  await cell.click();
  const include = await clickToPaint(page, '#value-menu button[data-verb=Include]');
  console.log(`Include of event id 42 to filtered rows painted (200 rows): ${include.toFixed(1)} ms`);
  await page.close();

  // An export read as the viewer reads it, up to 100,000 events.
  const controller = new AbortController();
  const began = performance.now();
  const reply = await fetch(`${url}api/export?format=jsonl`, { method: 'POST', body: '{}', headers: { 'Content-Type': 'application/json' }, signal: controller.signal });
  const reader = reply.body.getReader();
  let lines = 0;
  while (lines < 100000) {
    const { done, value } = await reader.read();
    if (done) break;
    for (let at = value.indexOf(10); at >= 0; at = value.indexOf(10, at + 1)) lines += 1;
  }
  const seconds = (performance.now() - began) / 1000;
  controller.abort();
  console.log(`export (JSON Lines): ${lines} events in ${seconds.toFixed(2)} s, ${Math.round(lines / seconds)} events/s`);
} finally {
  await browser.close();
  host.kill('SIGINT');
}
