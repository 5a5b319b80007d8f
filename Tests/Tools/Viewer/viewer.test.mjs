// The web viewer in a real browser (Debian's chromium, headless, driven by playwright-core),
// against the host serving a copy of the sample store (two of its channels): paging, filters,
// search, Include and Exclude of values, UTC and local times, refused filters and the host gone,
// a narrow window, progress and cancel, columns and saved views, the channel picker and export,
// the new-events badge after an event is written, a copied address resumed; pages are compared
// with the module's own answers. The run also takes the screenshots that the README shows.
//
// Environment: HALYARD_BIN (the build's bin folder), SAMPLE_STORE (the generated sample store),
// SCREENSHOTS (where to write the screenshots; none when unset), SHARED_DATA (the real logs; their
// test is skipped without them) and PROVIDER_EXPORTS (provider metadata written for them).
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import {
  cpSync, existsSync, mkdtempSync, mkdirSync, rmSync, symlinkSync, writeFileSync,
} from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import {
  child, markOf, newSessionId, requests, value,
} from '../../../Tools/HalyardHost/Viewer/nodes.js';

const bin = process.env.HALYARD_BIN;
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
const shots = process.env.SCREENSHOTS;

let playwright = null;
try {
  playwright = await import('playwright-core');
} catch {
  // Reported by the skip below.
}
// The reason to skip every test, or false when all is there.
const missing = !bin ? 'HALYARD_BIN is not set'
  : !playwright ? 'playwright-core is not installed (npm ci in Tests/Tools/Viewer)'
    : !existsSync(chromiumPath) ? `no browser at ${chromiumPath}` : false;

let host;
let store;
let baseUrl;
let browser;
let pages; // the page count of the whole channel at 25 events a page

// A request tree sent to the host straight, its response tree back.
async function ask(request, url = baseUrl, channel = 'Application') {
  const response = await fetch(`${url}api/request?channel=${channel}`, {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(request),
  });
  return response.json();
}

// The channel's events, counted by the module itself (the copied store may hold written events).
async function channelPages() {
  return Math.ceil(Number(value(await ask({ name: 'CountEventsRequest' }), 'TotalEventsCount')) / 25);
}

// The newest page of a filter set as the module serves it: its events' record ids.
async function newestRecords(filters, channel = 'Application', count = 25) {
  const mark = { sessionId: newSessionId(), position: 0, count };
  const created = markOf(await ask(requests.createSession(mark, filters), baseUrl, channel));
  const events = child(await ask(requests.getData(created, filters, 0, count), baseUrl, channel), 'Events');
  return (events.children || []).map((e) => String(value(e, 'RecordId')));
}

// The filter set and record ids of the page a viewer shows (its address holds the filters).
async function shownView(page) {
  const state = JSON.parse(decodeURIComponent(new URL(page.url()).hash.slice('#view='.length)));
  const records = await page.locator('#rows tr').evaluateAll((rows) => rows.map((r) => r.dataset.record));
  return { filters: state.f, records };
}

// A host serving `folder` (more arguments after, and more environment); the address it prints to
// open.
function serve(folder, args = [], env = {}) {
  const started = spawn(join(bin, 'HalyardHost'), ['serve', '--port', '0', '--store', folder, ...args], {
    stdio: ['ignore', 'pipe', 'inherit'],
    env: { ...process.env, PAL_EVENTLOG_POLL_MS: '100', ...env },
  });
  const address = new Promise((resolve, reject) => {
    let text = '';
    started.stdout.on('data', (chunk) => {
      text += chunk;
      const found = /Open (http:\/\/[^ ]+)/.exec(text);
      if (found) resolve(found[1]);
    });
    started.on('exit', (code) => reject(new Error(`the host ended with ${code}`)));
  });
  return { started, address };
}

async function startHost() {
  store = mkdtempSync(join(tmpdir(), 'viewer-store-'));
  cpSync(process.env.SAMPLE_STORE, store, { recursive: true });
  const served = serve(store, ['--channel', 'Application', '--channel', 'System']);
  host = served.started;
  baseUrl = await served.address;
}

before(async () => {
  if (missing) return;
  await startHost();
  pages = await channelPages();
  browser = await playwright.chromium.launch({
    executablePath: chromiumPath,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  await browser?.close();
  host?.kill('SIGINT');
  if (store) rmSync(store, { recursive: true, force: true });
});

async function openViewer(url = baseUrl, viewport = { width: 1280, height: 800 }, options = {}) {
  const page = await browser.newPage({ viewport, ...options });
  page.on('pageerror', (error) => assert.fail(`page error: ${error.message}`));
  await page.goto(url);
  await page.locator('#rows tr').first().waitFor();
  return page;
}

const cells = (page, column) => page.locator(`#rows tr td:nth-child(${column})`).allTextContents();
const pageInfo = (page) => page.locator('#page-info').textContent();

async function shoot(page, name) {
  if (!shots) return;
  mkdirSync(shots, { recursive: true });
  await page.screenshot({ path: join(shots, `${name}.png`) });
}

// Does `act` and waits for the page it brings (or the filter error).
async function newPage(page, act) {
  const before = await page.evaluate(() => document.body.dataset.pagesShown);
  await act();
  await page.waitForFunction((old) => document.body.dataset.pagesShown !== old
    || !document.querySelector('#filter-error').hidden, before);
}

const applyFilters = (page) => newPage(page, () => page.locator('#apply').click());

// Include or Exclude of a value shown in `scope` (a row, the detail pane); the page it brings.
async function act(page, scope, kind, verb) {
  const shown = scope.locator(`span.value[data-kind=${kind}]`).first();
  const text = await shown.textContent();
  await shown.click();
  await newPage(page, () => page.locator(`#value-menu button[data-verb=${verb}]`).click());
  return text;
}

// The viewer's page is the module's own newest page for the filters it shows.
async function assertModulesPage(page, channel = 'Application') {
  const { filters, records } = await shownView(page);
  assert.ok(records.length > 0);
  assert.deepEqual(records, await newestRecords(filters, channel));
  return filters;
}

const chips = (page) => page.locator('#chips .chip').allTextContents();

test('a token in the address becomes a cookie and leaves the address', { skip: missing },
  async () => {
    const guarded = serve(store, [], { HALYARD_TOKEN: 'viewer-token-1' });
    try {
      const url = await guarded.address;
      assert.match(url, /\?token=viewer-token-1$/);
      const page = await openViewer(url);
      await page.waitForFunction(() => !location.href.includes('token'));
      // Without --channel, the configuration's list.
      assert.deepEqual(await page.locator('#channel option').allTextContents(),
        ['Application', 'System', 'Security', 'Corvane/Operational']);
      await page.reload();
      await page.locator('#rows tr').first().waitFor();
      await page.close();
    } finally {
      guarded.started.kill('SIGINT');
    }
  });

test('pages forwards and back, newest first', { skip: missing }, async () => {
  const page = await openViewer();
  assert.ok(pages > 2);
  assert.equal(await pageInfo(page), `Page 1 of ${pages}`);
  const first = await cells(page, 1);
  assert.equal(first.length, 25);
  assert.deepEqual([...first].sort().reverse(), first, 'newest first');
  await shoot(page, 'viewer');

  await page.locator('#older').click();
  await page.waitForFunction((text) => document.querySelector('#page-info').textContent === text,
    `Page 2 of ${pages}`);
  const second = await cells(page, 1);
  assert.ok(second[0] <= first[first.length - 1], 'the next page holds older events');

  await page.keyboard.press('PageUp');
  await page.waitForFunction((text) => document.querySelector('#page-info').textContent === text,
    `Page 1 of ${pages}`);
  assert.deepEqual(await cells(page, 1), first);
  assert.equal(await page.locator('#newer').isDisabled(), true);

  await page.locator('#rows tr').nth(2).locator('td').first().click();
  await page.locator('#details').waitFor();
  assert.match(await page.locator('#detail-list').textContent(), /RecordId/);
  await shoot(page, 'details');
  await page.close();
});

test('filters by level, by an event-id range, and searches', { skip: missing }, async () => {
  const page = await openViewer();
  await page.locator('input[name=level][value="2"]').check();
  await applyFilters(page);
  assert.deepEqual(new Set(await cells(page, 2)), new Set(['Error']));

  await page.locator('input[name=level][value="2"]').uncheck();
  await page.locator('#event-ids').fill('1000-1002');
  await applyFilters(page);
  const ids = (await cells(page, 4)).map(Number);
  assert.ok(ids.length > 0 && ids.every((id) => id >= 1000 && id <= 1002), ids.join());

  await page.locator('#event-ids').fill('');
  await page.locator('#search').fill('queue');
  await applyFilters(page);
  const messages = await cells(page, 7);
  assert.ok(messages.length > 0 && messages.every((m) => m.toLowerCase().includes('queue')));
  // The module's mark says how far the search read: past every event it found.
  const searched = /; ([\d,]+) events searched$/.exec(await page.locator('#status').textContent());
  assert.ok(Number(searched[1].replace(/,/g, '')) >= messages.length);
  await shoot(page, 'filtered');
  await page.close();
});

test('a value shown includes or excludes itself, the filters shown as chips', { skip: missing }, async () => {
  const page = await openViewer();
  const row = page.locator('#rows tr').first();
  const provider = await act(page, row, 'provider', 'Exclude');
  assert.ok(!(await cells(page, 3)).includes(provider));
  assert.deepEqual(await chips(page), [`Not provider: ${provider}`]);
  await assertModulesPage(page);

  const id = await act(page, row, 'eventId', 'Include');
  assert.deepEqual(new Set(await cells(page, 4)), new Set([id]));
  assert.deepEqual(await chips(page), [`Not provider: ${provider}`, `Event id: ${id}`]);
  await assertModulesPage(page);

  // An excluded id leaves every other id of every provider in view.
  await newPage(page, () => page.locator('#chips .chip').nth(1).click());
  const excluded = await act(page, row, 'eventId', 'Exclude');
  assert.ok(!(await cells(page, 4)).includes(excluded));
  assert.deepEqual((await assertModulesPage(page)).eventIds, [`-${excluded}`]);

  // From the detail pane, by the keyboard: the level of the event shown.
  await row.locator('td').first().click();
  const level = page.locator('#detail-list span.value[data-kind=level]');
  await level.focus();
  await page.keyboard.press('Shift+F10');
  await newPage(page, () => page.locator('#value-menu button[data-verb=Include]').click());
  assert.equal(new Set(await cells(page, 2)).size, 1);
  await shoot(page, 'include-exclude');

  // Users can be included (by a search), not excluded.
  await page.locator('#rows tr span.value[data-kind=user]').first().click();
  assert.equal(await page.locator('#value-menu button[data-verb=Exclude]').isDisabled(), true);
  await page.keyboard.press('Escape');
  await page.close();
});

test('times in UTC or local time alike in the table, the details and the date inputs', { skip: missing }, async () => {
  const page = await openViewer(baseUrl, { width: 1280, height: 800 }, { timezoneId: 'America/New_York' });
  assert.match(await page.locator('#head-row th').first().textContent(), /\(UTC\)/);
  const utc = await cells(page, 1);
  await page.locator('#zone').selectOption('local');
  assert.match(await page.locator('#head-row th').first().textContent(), /America\/New_York/);
  assert.match(await page.locator('#date-zone').textContent(), /America\/New_York/);
  const local = await cells(page, 1);
  const minus5 = (text) => new Date(Date.parse(`${text.replace(' ', 'T')}Z`) - 5 * 3600e3).toISOString().slice(0, 19).replace('T', ' ');
  assert.deepEqual(local, utc.map(minus5));
  await page.locator('#rows tr').first().locator('td').first().click();
  assert.match(await page.locator('#detail-list').textContent(), new RegExp(`${local[0]} \\(local`));

  // A time read off the table and typed as it is finds that event.
  await page.locator('#to').fill(local[5].replace(' ', 'T'));
  await applyFilters(page);
  assert.equal((await cells(page, 1))[0], local[5]);
  await page.locator('#zone').selectOption('utc');
  assert.equal(await page.locator('#to').inputValue(), utc[5].replace(' ', 'T'));
  assert.deepEqual(await chips(page), [`To ${utc[5]}`]);

  // A quick range: counted by the module for the same date range.
  await newPage(page, () => page.locator('[data-hours="24"]').click());
  const { filters } = await shownView(page);
  assert.ok(Date.now() - Date.parse(filters.since) < 24 * 3600e3 + 60e3 && !filters.to);
  const counted = Number(value(await ask(requests.countEvents(filters)), 'TotalEventsCount'));
  await page.waitForFunction((text) => document.querySelector('#counts .total')?.textContent === text,
    `${counted.toLocaleString('en-US')} in all in the date range`);
  assert.equal(await page.locator('#rows tr').count(), Math.min(counted, 25));
  await page.close();
});

test('a refused filter names its field in words; the host gone is said once and the view returns', { skip: missing }, async () => {
  const page = await openViewer();
  await page.locator('#event-ids').fill("1000'");
  await page.locator('#apply').click();
  await page.waitForFunction(() => /Event ids: "1000'" is not an id/.test(document.querySelector('#filter-error').textContent));
  await page.locator('#event-ids').fill('');
  // A level the module's query cannot hold.
  await page.evaluate(() => {
    const box = document.querySelector('input[name=level]');
    box.value = 'x y';
    box.checked = true;
  });
  await page.locator('#apply').click();
  await page.waitForFunction(() => /^Levels: refused/.test(document.querySelector('#filter-error').textContent));
  assert.doesNotMatch(await page.locator('#filter-error').textContent(), /0x|\[/);
  await page.close();

  const port = Number(new URL(baseUrl).port) + 1;
  let second = serve(store, ['--port', String(port)]);
  const viewer = await openViewer(await second.address);
  second.started.kill('SIGINT');
  await viewer.locator('#host-gone').waitFor();
  await viewer.locator('#older').click();
  assert.equal(await viewer.locator('#page-error').isHidden(), true);
  second = serve(store, ['--port', String(port)]);
  try {
    await second.address;
    await viewer.locator('#host-gone').waitFor({ state: 'hidden' });
    await viewer.locator('#rows tr').first().waitFor();
  } finally {
    second.started.kill('SIGINT');
    await viewer.close();
  }
});

test('the badge rises after an event is written, and shows the newest page', { skip: missing }, async () => {
  const page = await openViewer();
  execFileSync(join(bin, 'EventLogTool'), ['--store', store, 'write', 'Halyard-Monitor', 'warning',
    '2001', 'Nightly checks', 'web-01', 'degraded']);
  await page.locator('#new-events').waitFor({ timeout: 20000 });
  await shoot(page, 'new-events');
  await page.locator('#new-events').click();
  await page.waitForFunction(() => document.querySelector('#new-events').hidden);
  // The newest page replaces the one shown once its response is in.
  await page.waitForFunction(
    () => /web-01/.test(document.querySelector('#rows tr td:nth-child(7)')?.textContent || ''));
  assert.match((await cells(page, 7))[0], /web-01/);
  await page.close();
});

test('a copied address resumes the same page', { skip: missing }, async () => {
  const page = await openViewer();
  await page.locator('#older').click();
  await page.waitForFunction(() => document.querySelector('#page-info').textContent.startsWith('Page 2'));
  await page.locator('#older').click();
  await page.waitForFunction(() => document.querySelector('#page-info').textContent.startsWith('Page 3'));
  const shown = await cells(page, 1);
  const address = page.url();
  await page.close();

  const again = await openViewer(address);
  assert.match(await pageInfo(again), /^Page 3/);
  assert.deepEqual(await cells(again, 1), shown);
  await again.close();
});

test('a narrow window: details over the table, Apply in view, keys, counts, favicon', { skip: missing }, async () => {
  const page = await openViewer(baseUrl, { width: 600, height: 900 });
  assert.equal(await page.locator('#rows tr td.wide').first().isVisible(), false);
  assert.equal(await page.locator('#rows tr td.message').first().isVisible(), true);
  await shoot(page, 'narrow');
  for (const close of [() => page.keyboard.press('Escape'), () => page.goBack()]) {
    await page.locator('#rows tr td.message').nth(3).click();
    assert.deepEqual(await page.locator('#details').boundingBox(), { x: 0, y: 0, width: 600, height: 900 });
    await close();
    await page.locator('#details').waitFor({ state: 'hidden' });
  }
  assert.match(page.url(), /#view=/, 'Back left the viewer');

  await page.locator('#search').scrollIntoViewIfNeeded();
  const apply = await page.locator('#apply').boundingBox();
  assert.ok(apply.y >= 0 && apply.y + apply.height <= 900, JSON.stringify(apply));

  // A date range without events: every count zero, drawn as nothing.
  await page.locator('#since').fill('2000-01-01T00:00');
  await page.locator('#to').fill('2000-01-02T00:00');
  await applyFilters(page);
  await page.waitForFunction(() => document.querySelector('#counts .total')?.textContent === '0 in all in the date range');
  const widths = await page.locator('#counts .bar').evaluateAll((bars) => bars.map((b) => b.getBoundingClientRect().width));
  assert.deepEqual(widths, [0, 0, 0, 0]);
  assert.match(await page.locator('.counts .note').textContent(), /date range only/);

  await page.keyboard.press('?');
  assert.match(await page.locator('#keys').textContent(), /PageDown/);
  await page.keyboard.press('Escape');
  assert.equal(await page.locator('#keys').isVisible(), false);
  const icon = await fetch(new URL(await page.locator('link[rel=icon]').getAttribute('href'), baseUrl));
  assert.equal(icon.headers.get('content-type'), 'image/svg+xml');
  await page.close();
});

test('columns chosen, ordered and sized are kept; a saved view and an address bring them back', { skip: missing }, async () => {
  const page = await openViewer();
  const heads = () => page.locator('#head-row th').allTextContents();
  await page.locator('#columns-button').click();
  await page.locator('#column-user').uncheck();
  await page.locator('#column-record').check();
  for (let i = 0; i < 5; ++i) await page.getByRole('button', { name: 'Move up Record id' }).click();
  const grip = await page.locator('#head-row th[data-key=provider] .grip').boundingBox();
  await page.mouse.move(grip.x + 2, grip.y + 5);
  await page.mouse.down();
  await page.mouse.move(grip.x + 102, grip.y + 5, { steps: 4 });
  await page.mouse.up();
  const expected = ['Time (UTC)', 'Record id', 'Level', 'Provider', 'Event id', 'Computer', 'Message'];
  assert.deepEqual(await heads(), expected);
  assert.deepEqual(await cells(page, 2), (await shownView(page)).records);
  const width = (await page.locator('#head-row th[data-key=provider]').boundingBox()).width;
  assert.ok(width > 180, String(width));
  await page.reload();
  await page.locator('#rows tr').first().waitFor();
  assert.deepEqual(await heads(), expected);
  assert.equal((await page.locator('#head-row th[data-key=provider]').boundingBox()).width, width);

  const level = await act(page, page.locator('#rows tr').first(), 'level', 'Include');
  await page.locator('#view-name').fill('Only these');
  await page.locator('#save-view').click();
  await newPage(page, () => page.locator('#clear').click());
  assert.deepEqual(await chips(page), []);
  await newPage(page, () => page.locator('#views').selectOption('Only these'));
  assert.deepEqual(await chips(page), [`Level: ${level}`]);
  await shoot(page, 'columns-and-views');

  const copied = await openViewer(page.url());
  assert.deepEqual(await copied.locator('#head-row th').allTextContents(), expected);
  assert.deepEqual(await chips(copied), [`Level: ${level}`]);
  await copied.close();
  await page.close();
});

test('a channel picked is in the address; an export holds every matching event', { skip: missing }, async () => {
  const page = await openViewer();
  await page.locator('#channel').selectOption('System');
  await page.waitForURL(/\?channel=System/);
  await page.locator('#rows tr').first().waitFor();
  await page.locator('#rows tr').first().locator('td').first().click();
  assert.match(await page.locator('#detail-list').textContent(), /ChannelSystem/);
  await page.locator('input[name=level][value="2"]').check();
  await applyFilters(page);
  await assertModulesPage(page, 'System');

  const download = page.waitForEvent('download');
  await page.locator('#export-jsonl').click();
  const file = await download;
  const { filters } = await shownView(page);
  assert.equal(file.suggestedFilename(), 'System-Level_Error.jsonl');
  const lines = (await import('node:fs')).readFileSync(await file.path(), 'utf8').trim().split('\n').map(JSON.parse);
  const counted = await ask(requests.countEvents(filters), baseUrl, 'System');
  assert.equal(lines.length, Number(value(counted, 'ErrorEventsCount')));
  assert.ok(lines.every((event) => event.Channel === 'System' && event.Level === '2'));
  assert.match(await page.locator('#status').textContent(), new RegExp(`^${lines.length} events exported`));
  await page.close();
});

test('a slow search shows its progress and is cancelled, in the module too', { skip: missing }, async () => {
  // A channel of some thousands of events, each batch of ten 5 ms late: a search that finds
  // nothing reads them all for seconds, however fast the build.
  const big = mkdtempSync(join(tmpdir(), 'viewer-big-'));
  execFileSync(join(bin, 'EventLogTool'), ['generate', big, '4000']);
  const served = serve(big, ['--channel', 'System'], { PAL_EVENTLOG_NEXT_LATENCY_MS: '5' });
  try {
    const url = await served.address;
    const page = await openViewer(url);
    await page.locator('#search').fill('no event says this');
    await page.locator('#apply').click();
    // The bar may already be up for the count of the first view, which takes seconds here too:
    // the search's own text must replace it.
    await page.waitForFunction(() => !document.querySelector('#progress').hidden
      && document.querySelector('#progress-text').textContent.startsWith('Searching'));
    await shoot(page, 'progress');
    await page.locator('#cancel').click();
    await page.locator('#progress').waitFor({ state: 'hidden' });
    assert.equal(await page.locator('#status').textContent(), 'Cancelled.');
    let cancelled = 0;
    for (let i = 0; i < 50 && !cancelled; ++i) {
      await new Promise((resolve) => { setTimeout(resolve, 100); });
      cancelled = (await (await fetch(`${url}api/info`)).json()).cancelledRequests;
    }
    assert.ok(cancelled >= 1, 'the host cancelled the module\'s request');

    // An export, cancelled while the module reads its first page.
    await page.locator('#export-csv').click();
    await page.locator('#progress').waitFor();
    await page.locator('#cancel').click();
    await page.waitForFunction(() => document.querySelector('#status').textContent === 'Export cancelled.');
    let more = cancelled;
    for (let i = 0; i < 50 && more === cancelled; ++i) {
      await new Promise((resolve) => { setTimeout(resolve, 100); });
      more = (await (await fetch(`${url}api/info`)).json()).cancelledRequests;
    }
    assert.ok(more > cancelled, 'the host cancelled the export\'s page');
    await page.close();
  } finally {
    served.started.kill('SIGINT');
    rmSync(big, { recursive: true, force: true });
  }
});

const realLog = process.env.SHARED_DATA
  && join(process.env.SHARED_DATA, 'evtx/DeepBlueCLI/smb-password-guessing-security.evtx');

test('a real audit event reads with its message, data, level name and XML', {
  skip: missing || (!realLog || !existsSync(realLog) ? 'no shared evtx samples' : false),
}, async () => {
  const folder = mkdtempSync(join(tmpdir(), 'viewer-real-'));
  symlinkSync(realLog, join(folder, 'security.evtx'));
  cpSync(join(process.env.PROVIDER_EXPORTS, 'security-auditing.xml'), join(folder, 'auditing.xml'));
  writeFileSync(join(folder, 'publishers.xml'), '<Publishers><Publisher Name="Microsoft-Windows-Security-Auditing">'
    + '<Parameter Id="2313">unknown name or bad password</Parameter></Publisher></Publishers>');
  const served = serve(folder, ['--channel', 'Security']);
  try {
    const page = await openViewer(await served.address);
    await page.locator('input[name=level][value="0"]').check();
    await page.locator('#event-ids').fill('4625');
    await applyFilters(page);
    assert.deepEqual(new Set(await cells(page, 2)), new Set(['Audit Failure']));
    await page.locator('#rows tr').first().locator('td').first().click();
    await page.waitForFunction(() => document.body.dataset.detailsShown);
    const message = await page.locator('#detail-message').textContent();
    assert.match(message, /^Refused sign-in of .+ \(type \d+\) from .+: .+ \(0x[0-9A-F]+\/0x[0-9A-F]+\)\.$/);
    assert.doesNotMatch(message, /%%2313/);
    const data = await page.locator('#detail-data tr').allTextContents();
    assert.equal(data.length, 21);
    assert.ok(data.some((row) => row.startsWith('TargetUserName')), data.join('|'));
    assert.ok(data.some((row) => row.startsWith('IpAddress') && message.includes(row.slice(9))), data.join('|'));
    assert.match(await page.locator('#detail-names').textContent(), /Audit Failure \(0\).*Sign-in \(12544\).*Audit Failure \(0x8010000000000000\)/);
    await shoot(page, 'audit-event');
    await page.locator('.detail-tabs button[data-tab=xml]').click();
    const xml = await page.locator('#detail-xml-text').textContent();
    assert.match(xml, /^<Event xmlns=.*>\n  <System>\n    <Provider Name="Microsoft-Windows-Security-Auditing"/);
    assert.match(xml, /\n    <Message>Refused sign-in of /);
    await shoot(page, 'audit-event-xml');
    await page.close();
  } finally {
    served.started.kill('SIGINT');
    rmSync(folder, { recursive: true, force: true });
  }
});
