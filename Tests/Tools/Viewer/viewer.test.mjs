// The web viewer in a real browser (Debian's chromium, headless, driven by playwright-core),
// against the host serving a copy of the sample store: paging, filters, search, the new-events
// badge after an event is written, a copied address resumed, a bad filter's error. The run also
// takes the screenshots that the README shows.
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

// The channel's events, counted by the module itself (the copied store may hold written events).
async function channelPages() {
  const response = await fetch(`${baseUrl}api/request`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ name: 'CountEventsRequest' }),
  });
  const tree = await response.json();
  const total = Number(tree.attributes.find((a) => a.name === 'TotalEventsCount').value);
  return Math.ceil(total / 25);
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
  const served = serve(store);
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

async function openViewer(url = baseUrl, viewport = { width: 1280, height: 800 }) {
  const page = await browser.newPage({ viewport });
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

// Applies the filter panel and waits for the page it brings (or the filter error).
async function applyFilters(page) {
  const before = await page.evaluate(() => document.body.dataset.pagesShown);
  await page.locator('#apply').click();
  await page.waitForFunction((old) => document.body.dataset.pagesShown !== old
    || !document.querySelector('#filter-error').hidden, before);
}

test('a token in the address becomes a cookie and leaves the address', { skip: missing },
  async () => {
    const guarded = serve(store, [], { HALYARD_TOKEN: 'viewer-token-1' });
    try {
      const url = await guarded.address;
      assert.match(url, /\?token=viewer-token-1$/);
      const page = await openViewer(url);
      await page.waitForFunction(() => !location.href.includes('token'));
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

  await page.locator('#rows tr').nth(2).click();
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
  await shoot(page, 'filtered');
  await page.close();
});

test('a bad filter set shows its error beside the panel', { skip: missing }, async () => {
  const page = await openViewer();
  await page.locator('#since').fill('2024-01-01T00:00');
  await page.locator('#event-ids').fill("1000'");
  await page.locator('#apply').click();
  await page.locator('#filter-error').waitFor();
  assert.match(await page.locator('#filter-error').textContent(), /0x80042002/);
  await page.close();
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

test('a narrow window keeps the table readable', { skip: missing }, async () => {
  const page = await openViewer(baseUrl, { width: 600, height: 900 });
  assert.equal(await page.locator('#rows tr td.wide').first().isVisible(), false);
  assert.equal(await page.locator('#rows tr td.message').first().isVisible(), true);
  await shoot(page, 'narrow');
  await page.close();
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
    await page.locator('#rows tr').first().click();
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
