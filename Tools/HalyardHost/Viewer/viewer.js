// The event viewer: one session of the module at a time, paged newest first, with the filter
// panel, the new-events badge, counts by level and the detail pane. The page's address holds the
// view (filters and the continuation mark of the page shown), so a reload or a shared link shows
// the same page again.
import {
  child, markOf, newSessionId, number, requests, send, value,
} from './nodes.js';

const $ = (id) => document.getElementById(id);

const LEVELS = {
  0: ['Log always', 'info'], 1: ['Critical', 'critical'], 2: ['Error', 'error'],
  3: ['Warning', 'warning'], 4: ['Information', 'info'], 5: ['Verbose', 'verbose'],
};
const AUDIT_SUCCESS = 0x20000000000000n;
const AUDIT_FAILURE = 0x10000000000000n;

// The name and style of an event's level as a person reads it: level 0 (which the security
// audits write) by what its keywords say, else by the standard names. `keywords` is the 64-bit
// value as the module or the Event Log gives it (decimal text, possibly negative, or 0x text).
export function levelName(level, keywords) {
  if (Number(level) === 0 && keywords !== undefined && keywords !== null) {
    let bits = 0n;
    try {
      bits = BigInt.asUintN(64, BigInt(String(keywords)));
    } catch {
      bits = 0n;
    }
    if (bits & AUDIT_FAILURE) return ['Audit Failure', 'audit-failure'];
    if (bits & AUDIT_SUCCESS) return ['Audit Success', 'audit-success'];
  }
  return LEVELS[level] || [`Level ${level}`, 'info'];
}
const POLL_MS = 3000;

const view = {
  filters: {},
  pageSize: 25,
  mark: null, // the continuation mark of the last page served (the next request sends it)
  shown: null, // {mark, direction, eventsCount}: the request that served the page shown
  events: [],
  selected: -1,
  loading: null, // the AbortController of the page request in flight
  pollTimer: 0,
};

// ---- the filter panel -------------------------------------------------------------------------

function splitList(text, separators) {
  return text.split(separators).map((s) => s.trim()).filter(Boolean);
}

function isoFromLocal(local) {
  return local ? new Date(local).toISOString() : '';
}

function localFromIso(iso) {
  if (!iso) return '';
  const d = new Date(iso);
  const pad = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}T${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

function selectedOptions(select) {
  return [...select.selectedOptions].map((o) => o.value);
}

function readFilterPanel() {
  return {
    since: isoFromLocal($('since').value),
    to: isoFromLocal($('to').value),
    levels: [...document.querySelectorAll('input[name=level]:checked')].map((c) => c.value),
    providers: selectedOptions($('providers')),
    suppressed: selectedOptions($('suppressed')),
    eventIds: splitList($('event-ids').value, /[\s,]+/),
    plans: splitList($('plans').value, ';'),
    items: splitList($('items').value, ';'),
    search: $('search').value.trim(),
  };
}

function ensureOption(select, name) {
  if (![...select.options].some((o) => o.value === name)) select.add(new Option(name, name));
}

function writeFilterPanel(f) {
  $('since').value = localFromIso(f.since);
  $('to').value = localFromIso(f.to);
  for (const box of document.querySelectorAll('input[name=level]')) {
    box.checked = (f.levels || []).includes(box.value);
  }
  for (const [id, names] of [['providers', f.providers], ['suppressed', f.suppressed]]) {
    const select = $(id);
    (names || []).forEach((name) => ensureOption(select, name));
    for (const option of select.options) option.selected = (names || []).includes(option.value);
  }
  $('event-ids').value = (f.eventIds || []).join(', ');
  $('plans').value = (f.plans || []).join('; ');
  $('items').value = (f.items || []).join('; ');
  $('search').value = f.search || '';
}

function showError(id, error) {
  const box = $(id);
  box.hidden = !error;
  box.textContent = error ? String(error.message || error) : '';
}

// ---- the address ------------------------------------------------------------------------------

function saveAddress() {
  const state = { f: view.filters, n: view.pageSize, s: view.shown };
  history.replaceState(null, '', `#view=${encodeURIComponent(JSON.stringify(state))}`);
}

function loadAddress() {
  const match = /^#view=(.*)$/.exec(location.hash);
  if (!match) return null;
  try {
    return JSON.parse(decodeURIComponent(match[1]));
  } catch {
    return null;
  }
}

// ---- sessions and pages -----------------------------------------------------------------------

function setStatus(text) {
  $('status').textContent = text;
}

function releaseSession(keepalive = false) {
  if (!view.mark) return;
  const { sessionId } = view.mark;
  view.mark = null;
  send(requests.release(sessionId), { keepalive }).catch(() => {});
}

// Sends one page request; the response's mark becomes the view's.
async function requestPage(mark, direction, eventsCount) {
  view.loading?.abort();
  const controller = new AbortController();
  view.loading = controller;
  setBusy(true);
  const started = performance.now();
  try {
    const response = await send(requests.getData({ ...mark }, view.filters, direction, eventsCount),
      { signal: controller.signal });
    if (view.loading !== controller) return;
    view.shown = { mark, direction, eventsCount };
    view.mark = markOf(response);
    renderPage(child(response, 'Events'));
    showError('page-error', null);
    saveAddress();
    setStatus(`${view.events.length} events in ${Math.round(performance.now() - started)} ms`);
    // Counts the pages shown, for scripts that wait for the next one.
    document.body.dataset.pagesShown = String(Number(document.body.dataset.pagesShown || 0) + 1);
  } catch (error) {
    if (error.name !== 'AbortError') showError('page-error', error);
  } finally {
    if (view.loading === controller) {
      view.loading = null;
      setBusy(false);
    }
  }
}

// A new session at the newest matching event, with the filters of the panel checked first.
async function startView() {
  const filters = readFilterPanel();
  try {
    await send(requests.checkFilters(filters));
  } catch (error) {
    showError('filter-error', error);
    return;
  }
  showError('filter-error', null);
  releaseSession();
  view.filters = filters;
  hideBadge();
  const mark = { sessionId: newSessionId(), position: 0, count: view.pageSize };
  try {
    const created = await send(requests.createSession(mark, filters));
    await requestPage(markOf(created) || mark, 0, view.pageSize);
  } catch (error) {
    showError('page-error', error);
  }
  refreshCounts();
}

// The page of an address: the request that served it, sent again by a session of our own (the
// mark brings its view and page stack along).
async function resumeView(state) {
  view.filters = state.f || {};
  view.pageSize = Number(state.n) || 25;
  writeFilterPanel(view.filters);
  $('page-size').value = String(view.pageSize);
  const { mark, direction, eventsCount } = state.s;
  await requestPage({ ...mark, sessionId: newSessionId() }, direction, eventsCount);
  refreshCounts();
}

function page(direction) {
  if (!view.mark || view.loading) return;
  requestPage(view.mark, direction, view.pageSize);
}

function changePageSize() {
  view.pageSize = Number($('page-size').value);
  if (view.mark) requestPage(view.mark, 0, view.pageSize); // the module starts the pages again
}

// ---- rendering --------------------------------------------------------------------------------

function setBusy(busy) {
  document.body.classList.toggle('busy', busy);
  for (const id of ['newest', 'newer', 'older']) $(id).disabled = busy || $(id).dataset.off === '1';
}

function setButton(id, enabled) {
  $(id).dataset.off = enabled ? '0' : '1';
  $(id).disabled = !enabled;
}

function levelCell(level, keywords) {
  const [name, css] = levelName(level, keywords);
  const cell = document.createElement('td');
  const tag = document.createElement('span');
  tag.className = `level ${css}`;
  tag.textContent = name;
  cell.append(tag);
  return cell;
}

function textCell(text, className) {
  const cell = document.createElement('td');
  cell.textContent = text;
  if (className) cell.className = className;
  if (className?.includes('clip')) cell.title = text; // the whole text where the cell cuts it
  return cell;
}

function renderPage(events) {
  view.events = events ? events.children || [] : [];
  const rows = $('rows');
  rows.replaceChildren();
  view.events.forEach((event, index) => {
    const row = document.createElement('tr');
    row.tabIndex = -1;
    row.dataset.index = String(index);
    const message = String(value(event, 'Message', '')).split(/\r?\n/)[0];
    row.append(
      textCell(String(value(event, 'TimeCreated', '')).replace('T', ' ').replace('Z', '')),
      levelCell(number(event, 'Level'), value(event, 'Keywords')),
      textCell(value(event, 'ProviderName', ''), 'roomy clip'),
      textCell(String(value(event, 'EventId', '')), 'roomy number'),
      textCell(value(event, 'User', ''), 'wide clip'),
      textCell(value(event, 'Computer', ''), 'wide wider clip'),
      textCell(message, 'message'),
    );
    row.addEventListener('click', () => select(index, true));
    rows.append(row);
  });
  $('empty').hidden = view.events.length > 0;
  const current = events ? number(events, 'CurrentPage') : 0;
  const total = events ? number(events, 'TotalPagesCount') : 0;
  const isFront = events ? value(events, 'IsFront', true) : true;
  const isBack = events ? value(events, 'IsBack', true) : true;
  $('page-info').textContent = total > 0 ? `Page ${current} of ${total}` : `Page ${current}`;
  setButton('newer', !isFront);
  setButton('older', !isBack);
  setButton('newest', true);
  showBadge(events ? number(events, 'NewEventsCount') : 0);
  select(view.events.length ? 0 : -1, false);
  closeDetails();
}

function select(index, open) {
  const rows = [...$('rows').children];
  rows.forEach((row, i) => {
    row.classList.toggle('selected', i === index);
    row.tabIndex = i === index ? 0 : -1;
    row.setAttribute('aria-selected', i === index ? 'true' : 'false');
  });
  view.selected = index;
  if (index >= 0 && open) {
    rows[index].focus();
    showDetails(view.events[index]);
  }
}

function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text;
  return made;
}

// Windows' text for an event whose message cannot be formatted, followed by the event's values.
function missingDescription(details) {
  const values = details.data.map((item) => item.value);
  return `The description for Event ID ${details.eventId} from source ${details.provider} cannot be found. `
    + 'The provider\'s metadata is not in this store (export it on the machine that wrote the log).'
    + `\n\nThe following information was included with the event:\n\n${values.join('\n')}`;
}

// XML text indented, one element a line; what does not parse is shown as it is.
export function indentXml(text) {
  const doc = new DOMParser().parseFromString(text, 'application/xml');
  if (doc.querySelector('parsererror')) return text;
  const escape = (t) => t.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
  const lines = [];
  const walk = (node, depth) => {
    const pad = '  '.repeat(depth);
    const attributes = [...node.attributes].map((a) => ` ${a.name}="${escape(a.value).replace(/"/g, '&quot;')}"`).join('');
    const children = [...node.childNodes].filter((c) => c.nodeType === 1 || c.textContent.trim() !== '');
    if (children.length === 0) {
      lines.push(`${pad}<${node.nodeName}${attributes}/>`);
    } else if (children.every((c) => c.nodeType !== 1)) {
      lines.push(`${pad}<${node.nodeName}${attributes}>${escape(node.textContent)}</${node.nodeName}>`);
    } else {
      lines.push(`${pad}<${node.nodeName}${attributes}>`);
      children.forEach((c) => (c.nodeType === 1 ? walk(c, depth + 1) : lines.push(pad + '  ' + escape(c.textContent.trim()))));
      lines.push(`${pad}</${node.nodeName}>`);
    }
  };
  walk(doc.documentElement, 0);
  return lines.join('\n');
}

function showTab(name) {
  for (const tab of document.querySelectorAll('.detail-tabs button')) {
    tab.setAttribute('aria-selected', tab.dataset.tab === name ? 'true' : 'false');
  }
  $('detail-general').hidden = name !== 'general';
  $('detail-xml').hidden = name !== 'xml';
}

// The event as the Event Log has it (api/event): message, names, data and XML.
function renderEventDetails(details) {
  const message = details.message ?? missingDescription(details);
  $('detail-message').textContent = message;
  $('detail-message').classList.toggle('missing', details.message === null);
  const [level] = levelName(details.level, details.keywords);
  const names = [
    ['Level', `${level} (${details.level ?? ''})`],
    ['Task', `${details.taskName ?? ''} (${details.task ?? ''})`],
    ['Opcode', `${details.opcodeName ?? ''} (${details.opcode ?? ''})`],
    ['Keywords', `${details.keywordNames.join(', ')} (${details.keywords ?? ''})`],
  ];
  const list = $('detail-names');
  list.replaceChildren();
  for (const [term, text] of names) list.append(element('dt', '', term), element('dd', '', text));
  const body = $('detail-data');
  body.replaceChildren();
  for (const item of details.data) {
    const row = element('tr');
    const label = item.name ?? (item.element === 'Data' ? '' : item.element);
    row.append(element('th', '', label), element('td', item.element === 'Binary' ? 'binary' : '', item.value));
    body.append(row);
  }
  $('detail-data-empty').hidden = details.data.length > 0;
  $('detail-xml-text').textContent = indentXml(details.xml);
  document.body.dataset.detailsShown = String(details.recordId);
}

async function loadEventDetails(event) {
  const record = value(event, 'RecordId');
  const channel = value(event, 'Channel', view.channel);
  document.body.dataset.detailsShown = '';
  $('detail-message').textContent = 'Loading…';
  try {
    const response = await fetch(`api/event?record=${encodeURIComponent(record)}&channel=${encodeURIComponent(channel)}`,
      { credentials: 'same-origin' });
    const body = await response.json();
    if (!response.ok) throw new Error(body.error || `HTTP ${response.status}`);
    if (String(view.events[view.selected] && value(view.events[view.selected], 'RecordId')) !== String(record)) return;
    renderEventDetails(body);
  } catch (error) {
    $('detail-message').textContent = value(event, 'Message', '');
    $('detail-data').replaceChildren();
    $('detail-xml-text').textContent = `The event cannot be read: ${error.message}`;
  }
}

function showDetails(event) {
  const list = $('detail-list');
  list.replaceChildren();
  for (const attribute of event.attributes || []) {
    if (attribute.name === 'Message') continue;
    let text = Array.isArray(attribute.value) ? attribute.value.join(', ') : String(attribute.value);
    if (attribute.name === 'Level') [text] = levelName(attribute.value, value(event, 'Keywords'));
    if (attribute.name === 'Keywords') text = `0x${BigInt.asUintN(64, BigInt(attribute.value)).toString(16)}`;
    list.append(element('dt', '', attribute.name), element('dd', '', text));
  }
  $('details').hidden = false;
  loadEventDetails(event);
}

function closeDetails() {
  $('details').hidden = true;
}

// ---- new events and counts --------------------------------------------------------------------

function showBadge(count) {
  const badge = $('new-events');
  badge.hidden = !(count > 0);
  badge.textContent = `${count} new`;
}

function hideBadge() {
  showBadge(0);
}

async function poll() {
  if (view.mark && !view.loading && document.visibilityState === 'visible') {
    try {
      const response = await send(requests.newEventsCount(view.mark, view.filters));
      showBadge(number(response, 'NewEventsCount'));
    } catch {
      // The next poll tries again; paging shows lasting failures.
    }
  }
  view.pollTimer = setTimeout(poll, POLL_MS);
}

async function refreshCounts() {
  const chart = $('counts');
  try {
    const response = await send(requests.countEvents(view.filters));
    // The module counts level 0 (log always, the audits) as informational: a count of level 0
    // alone puts those events in a row of their own, named as the level filter names them.
    const levels = view.filters.levels || [];
    const logAlways = levels.length && !levels.includes('0') ? 0
      : number(await send(requests.countEvents({ ...view.filters, levels: ['0'] })), 'TotalEventsCount');
    const groups = [['Critical', 'CriticalEventsCount', 'critical'],
      ['Error', 'ErrorEventsCount', 'error'], ['Warning', 'WarningEventsCount', 'warning'],
      ['Information', 'InformationalEventsCount', 'info'], ['Log always, audits', null, 'audit']];
    const total = number(response, 'TotalEventsCount');
    chart.replaceChildren();
    for (const [name, attribute, css] of groups) {
      let count = attribute ? number(response, attribute) : logAlways;
      if (attribute === 'InformationalEventsCount') count -= logAlways;
      const row = document.createElement('div');
      row.className = 'bar-row';
      const label = document.createElement('span');
      label.textContent = name;
      const bar = document.createElement('span');
      bar.className = `bar ${css}`;
      bar.style.width = `${total ? Math.max(1, (100 * count) / total) : 0}%`;
      const figure = document.createElement('span');
      figure.className = 'figure';
      figure.textContent = count.toLocaleString();
      row.append(label, bar, figure);
      chart.append(row);
    }
    const sum = document.createElement('p');
    sum.className = 'total';
    sum.textContent = `${total.toLocaleString()} in all${view.filters.since || view.filters.to ? ' in the date range' : ''}`;
    chart.append(sum);
  } catch (error) {
    chart.textContent = `Counts unavailable: ${error.message}`;
  }
}

// ---- start ------------------------------------------------------------------------------------

async function loadPublishers() {
  try {
    const response = await send(requests.publishers());
    for (const name of value(response, 'Publishers', [])) {
      ensureOption($('providers'), name);
      ensureOption($('suppressed'), name);
    }
  } catch (error) {
    showError('filter-error', error);
  }
}

function inField(event) {
  return ['INPUT', 'SELECT', 'TEXTAREA'].includes(event.target.tagName);
}

function onKey(event) {
  if (event.key === 'Escape') {
    closeDetails();
    return;
  }
  if (inField(event)) return;
  const keys = {
    PageDown: () => page(0),
    PageUp: () => page(1),
    Home: () => startView(),
    '/': () => $('search').focus(),
    n: () => !$('new-events').hidden && startView(),
    ArrowDown: () => select(Math.min(view.selected + 1, view.events.length - 1), true),
    ArrowUp: () => select(Math.max(view.selected - 1, 0), true),
    Enter: () => view.selected >= 0 && showDetails(view.events[view.selected]),
  };
  if (keys[event.key]) {
    event.preventDefault();
    keys[event.key]();
  }
}

async function main() {
  const info = await fetch('api/info', { credentials: 'same-origin' }).then((r) => r.json())
    .catch(() => ({}));
  // The page's own answer set the token's cookie: the token leaves the address, so that neither
  // the history nor a copied link carries it.
  const address = new URL(location.href);
  if (info.channel !== undefined && address.searchParams.has('token')) {
    address.searchParams.delete('token');
    history.replaceState(null, '', address.pathname + address.search + address.hash);
  }
  $('channel').textContent = info.channel || '';
  view.channel = info.channel || '';
  $('plans-fieldset').hidden = !info.monitoringPlans;
  document.title = `${info.channel || 'Events'} - Corvane event viewer`;

  $('filters').addEventListener('submit', (event) => {
    event.preventDefault();
    startView();
  });
  $('clear').addEventListener('click', () => {
    writeFilterPanel({});
    startView();
  });
  $('newest').addEventListener('click', () => startView());
  $('newer').addEventListener('click', () => page(1));
  $('older').addEventListener('click', () => page(0));
  $('new-events').addEventListener('click', () => startView());
  $('page-size').addEventListener('change', changePageSize);
  $('close-details').addEventListener('click', closeDetails);
  for (const tab of document.querySelectorAll('.detail-tabs button')) {
    tab.addEventListener('click', () => showTab(tab.dataset.tab));
  }
  $('copy-xml').addEventListener('click', async () => {
    try {
      await navigator.clipboard.writeText($('detail-xml-text').textContent);
      $('copy-xml').textContent = 'Copied';
    } catch {
      const range = document.createRange();
      range.selectNodeContents($('detail-xml-text'));
      getSelection().removeAllRanges();
      getSelection().addRange(range);
      $('copy-xml').textContent = 'Selected: press Ctrl+C';
    }
    setTimeout(() => { $('copy-xml').textContent = 'Copy'; }, 2000);
  });
  document.addEventListener('keydown', onKey);
  addEventListener('pagehide', () => releaseSession(true));

  await loadPublishers();
  const state = loadAddress();
  if (state && state.s && state.s.mark) {
    await resumeView(state);
  } else {
    await startView();
  }
  view.pollTimer = setTimeout(poll, POLL_MS);
}

main();
