// The event viewer: one session of the module at a time, paged newest first, with the filter
// panel, filters taken from the values shown (Include, Exclude) and shown as chips, the
// new-events badge, counts by level and the detail pane; times in UTC or local time. The page's
// address holds the view (filters and the continuation mark of the page shown), so a reload or a
// shared link shows the same page again.
import {
  MaxEventId, RequestError, apiUrl, child, filterNodes, hostWatch, inWords, markOf, newSessionId,
  node, number, requests, send, target, value,
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

// ---- times: UTC or the browser's zone, one switch for the table, the details and the inputs ----

const zone = { utc: localStorage.getItem('corvane.zone') !== 'local' };
const pad = (n) => String(n).padStart(2, '0');

function zoneName() {
  return zone.utc ? 'UTC' : `local, ${Intl.DateTimeFormat().resolvedOptions().timeZone}`;
}

// "YYYY-MM-DDTHH:MM:SS" of an instant in the chosen zone.
function wallClock(date) {
  if (zone.utc) return date.toISOString().slice(0, 19);
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}T${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}`;
}

export function formatTime(iso) {
  const date = new Date(iso);
  return Number.isNaN(date.getTime()) ? String(iso ?? '') : wallClock(date).replace('T', ' ');
}

// A date input's value (in the chosen zone) as the instant the filters take; an end takes in the
// whole second it names, as the table shows times to the second.
function isoFromInput(text, end = false) {
  if (!text) return '';
  const date = new Date(zone.utc ? `${text.length === 16 ? `${text}:00` : text}Z` : text);
  if (end) date.setMilliseconds(999);
  return Number.isNaN(date.getTime()) ? '' : date.toISOString();
}

function inputFromIso(iso) {
  return iso ? wallClock(new Date(iso)) : '';
}

function selectedOptions(select) {
  return [...select.selectedOptions].map((o) => o.value);
}

function readFilterPanel() {
  return {
    since: isoFromInput($('since').value),
    to: isoFromInput($('to').value, true),
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
  $('since').value = inputFromIso(f.since);
  $('to').value = inputFromIso(f.to);
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

// ---- acting on values: Include and Exclude, the chips, the check of a filter set ---------------

const ALL_LEVELS = ['0', '1', '2', '3', '4', '5'];
const added = (list, item) => [...(list || []).filter((v) => v !== item), item];
const dropped = (list, item) => (list || []).filter((v) => v !== item);

// What a value of each kind does to a filter set. Users and computers have no filter of their
// own: Include searches for the value (the search looks at users and computers too); plans and
// items can only be included.
const ACTIONS = {
  provider: {
    name: 'Provider',
    include: (f, v) => ({ ...f, providers: added(f.providers, v), suppressed: dropped(f.suppressed, v) }),
    exclude: (f, v) => ({ ...f, suppressed: added(f.suppressed, v), providers: dropped(f.providers, v) }),
  },
  eventId: {
    name: 'Event id',
    include: (f, v) => ({ ...f, eventIds: added(dropped(f.eventIds, `-${v}`), v) }),
    exclude: (f, v) => ({ ...f, eventIds: added(dropped(f.eventIds, v), `-${v}`) }),
  },
  level: {
    name: 'Level',
    include: (f, v) => ({ ...f, levels: added(f.levels, v) }),
    exclude: (f, v) => ({ ...f, levels: dropped(f.levels?.length ? f.levels : ALL_LEVELS, v) }),
  },
  user: { name: 'User', include: (f, v) => ({ ...f, search: v }) },
  computer: { name: 'Computer', include: (f, v) => ({ ...f, search: v }) },
  plan: { name: 'Plan', include: (f, v) => ({ ...f, plans: added(f.plans, v) }) },
  item: { name: 'Item', include: (f, v) => ({ ...f, items: added(f.items, v) }) },
};

const levelLabel = (level) => (level === '0' ? 'Log always, audits' : levelName(level)[0]);

// The applied filters, one chip each: its text and the filter set without it.
function chipsOf(f) {
  const chips = [];
  const each = (key, text) => (f[key] || []).forEach((v) => chips.push([text(v), { ...f, [key]: dropped(f[key], v) }]));
  if (f.since) chips.push([`From ${formatTime(f.since)}`, { ...f, since: '' }]);
  if (f.to) chips.push([`To ${formatTime(f.to)}`, { ...f, to: '' }]);
  each('levels', (v) => `Level: ${levelLabel(v)}`);
  each('providers', (v) => `Provider: ${v}`);
  each('suppressed', (v) => `Not provider: ${v}`);
  each('eventIds', (v) => (v.startsWith('-') ? `Not event id: ${v.slice(1)}` : `Event id: ${v}`));
  each('plans', (v) => `Plan: ${v}`);
  each('items', (v) => `Item: ${v}`);
  if (f.search) chips.push([`Search: ${f.search}`, { ...f, search: '' }]);
  return chips;
}

function renderChips() {
  const list = $('chips');
  list.replaceChildren();
  for (const [text, without] of chipsOf(view.filters)) {
    const chip = element('button', 'chip', text);
    chip.type = 'button';
    chip.title = 'Remove this filter';
    chip.setAttribute('aria-label', `Remove ${text}`);
    chip.addEventListener('click', () => applyFilters(without));
    list.append(chip);
  }
  list.hidden = list.children.length === 0;
}

// The first fault of a filter set that can be told without the module, in words; empty when none.
export function filterFault(f) {
  for (const record of f.eventIds || []) {
    const match = /^(-?)(\d+)$|^(\d+)-(\d+)$/.exec(record);
    const ids = match ? [match[2], match[3], match[4]].filter(Boolean).map(Number) : [];
    if (!match || ids.some((id) => id > MaxEventId)) {
      return `Event ids: "${record}" is not an id from 0 to ${MaxEventId}, a range (4700-4702) or an exclusion (-4625).`;
    }
    if (ids.length === 2 && ids[0] > ids[1]) return `Event ids: the range "${record}" ends before it starts.`;
  }
  if (f.since && f.to && f.since > f.to) return 'Date range: From is later than To.';
  return '';
}

const FIELD_NAMES = {
  DateFilter: 'Date range', LevelFilter: 'Levels', ProviderFilter: 'Providers (only these)',
  SuppressProviderFilter: 'Providers (never these)', EventIdFilter: 'Event ids',
  MonitoringPlanFilter: 'Plans', ItemFilter: 'Items', SearchFilter: 'Search',
};

// Why the module refused a filter set, naming the fields at fault (each filter is checked alone).
async function refusalText(f, error) {
  if (!(error instanceof RequestError) || error.unreachable || !error.code) return String(error.message || error);
  const fields = [];
  await Promise.all(filterNodes(f).map(async (filter) => {
    try {
      await send(node('CheckFiltersRequest', '', [], [node('Filters', '', [], [filter])]));
    } catch {
      fields.push(FIELD_NAMES[filter.type]);
    }
  }));
  const reason = inWords(error.message).replace(/^The filter set is invalid: /, '');
  return `${[...new Set(fields)].join(', ') || 'The filters'}: refused, ${reason}.`.replace('..', '.');
}

// Checks a filter set and, when the module takes it, shows its newest page at once.
async function applyFilters(f) {
  const fault = filterFault(f);
  if (fault) {
    showError('filter-error', fault);
    return false;
  }
  try {
    await send(requests.checkFilters(f));
  } catch (error) {
    showError('filter-error', await refusalText(f, error));
    return false;
  }
  showError('filter-error', null);
  writeFilterPanel(f);
  await startView(f);
  return true;
}

// The Include and Exclude menu of a value, under the element that shows it.
function openValueMenu(kind, raw, shown, anchor) {
  const action = ACTIONS[kind];
  const menu = $('value-menu');
  menu.replaceChildren();
  const item = (verb, change) => {
    const button = element('button', '', `${verb} ${action.name.toLowerCase()} “${shown}”`);
    button.type = 'button';
    button.setAttribute('role', 'menuitem');
    button.dataset.verb = verb;
    if (change) {
      button.addEventListener('click', () => {
        closeValueMenu();
        applyFilters(change(view.filters, raw));
      });
    } else {
      button.disabled = true;
      button.title = `No filter leaves out one ${action.name.toLowerCase()}`;
    }
    menu.append(button);
  };
  item('Include', action.include);
  item('Exclude', action.exclude);
  const box = anchor.getBoundingClientRect();
  menu.style.left = `${Math.max(0, Math.min(box.left + scrollX, scrollX + innerWidth - 260))}px`;
  menu.style.top = `${box.bottom + scrollY}px`;
  menu.hidden = false;
  menu.querySelector('button:not(:disabled)')?.focus();
  view.menuAnchor = anchor;
}

function closeValueMenu() {
  if ($('value-menu').hidden) return;
  $('value-menu').hidden = true;
  view.menuAnchor?.focus?.();
  view.menuAnchor = null;
}

// A value that offers Include and Exclude on a click, Enter, Space or the context-menu key: a
// focusable span, as a table of buttons takes several times longer to lay out.
function valueButton(kind, raw, shown) {
  const value = element('span', 'value', shown);
  value.tabIndex = 0;
  value.setAttribute('role', 'button');
  value.setAttribute('aria-haspopup', 'menu');
  value.dataset.kind = kind;
  const open = (event) => {
    event.preventDefault();
    event.stopPropagation();
    openValueMenu(kind, raw, shown, value);
  };
  value.addEventListener('click', open);
  value.addEventListener('contextmenu', open);
  value.addEventListener('keydown', (event) => {
    if (['Enter', ' ', 'ContextMenu'].includes(event.key) || (event.key === 'F10' && event.shiftKey)) open(event);
  });
  return value;
}

// ---- the address ------------------------------------------------------------------------------

function saveAddress() {
  const state = { f: view.filters, n: view.pageSize, s: view.shown, c: columns.shown };
  history.replaceState(history.state, '', `#view=${encodeURIComponent(JSON.stringify(state))}`);
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

// ---- work in progress ------------------------------------------------------------------------

// The requests that may be cancelled, each an AbortController; past PROGRESS_MS the progress bar
// shows, with its Cancel button.
const PROGRESS_MS = 150;
const work = { running: new Map(), timer: 0 };

function beginWork(text) {
  const controller = new AbortController();
  work.running.set(controller, text);
  // The bar names the newest work; one already shown (a long count, say) gives way at once.
  if (!$('progress').hidden) $('progress-text').textContent = `${text}…`;
  else if (!work.timer) {
    work.timer = setTimeout(() => {
      work.timer = 0;
      if (work.running.size) {
        $('progress-text').textContent = `${[...work.running.values()].at(-1)}…`;
        $('progress').hidden = false;
      }
    }, PROGRESS_MS);
  }
  return controller;
}

function endWork(controller) {
  work.running.delete(controller);
  if (work.running.size) {
    $('progress-text').textContent = `${[...work.running.values()].at(-1)}…`;
    return;
  }
  clearTimeout(work.timer);
  work.timer = 0;
  $('progress').hidden = true;
}

function cancelWork() {
  for (const controller of work.running.keys()) controller.abort();
  setStatus('Cancelled.');
}

// Sends one page request; the response's mark becomes the view's.
async function requestPage(mark, direction, eventsCount) {
  view.loading?.abort();
  const controller = beginWork(view.filters.search ? 'Searching' : 'Reading events');
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
    // With a search the module reads past the events it drops: its mark says how far.
    const read = view.filters.search && view.mark ? `; ${view.mark.position.toLocaleString()} events searched` : '';
    setStatus(`${view.events.length} events in ${Math.round(performance.now() - started)} ms${read}`);
    // Counts the pages shown, for scripts that wait for the next one.
    document.body.dataset.pagesShown = String(Number(document.body.dataset.pagesShown || 0) + 1);
  } catch (error) {
    if (error.name !== 'AbortError') showPageError(error);
  } finally {
    endWork(controller);
    if (view.loading === controller) {
      view.loading = null;
      setBusy(false);
    }
  }
}

function showPageError(error) {
  if (!error.unreachable) showError('page-error', inWords(error.message));
}

// A new session at the newest event matching `filters` (checked already).
async function startView(filters = view.filters) {
  releaseSession();
  view.filters = filters;
  renderChips();
  hideBadge();
  const mark = { sessionId: newSessionId(), position: 0, count: view.pageSize };
  try {
    const created = await send(requests.createSession(mark, filters));
    await requestPage(markOf(created) || mark, 0, view.pageSize);
  } catch (error) {
    showPageError(error);
  }
  refreshCounts();
}

// The page of an address: the request that served it, sent again by a session of our own (the
// mark brings its view and page stack along).
async function resumeView(state) {
  view.filters = state.f || {};
  view.pageSize = Number(state.n) || 25;
  writeFilterPanel(view.filters);
  renderChips();
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

function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text;
  return made;
}

// The table's columns: the attribute each shows, the kind of filter its values take, and the
// classes that let narrow windows drop it.
const COLUMNS = [
  { key: 'time', title: 'Time', text: (e) => formatTime(value(e, 'TimeCreated', '')) },
  { key: 'level', title: 'Level', kind: 'level' },
  { key: 'provider', title: 'Provider', attribute: 'ProviderName', kind: 'provider', css: 'roomy clip' },
  { key: 'eventId', title: 'Event id', attribute: 'EventId', kind: 'eventId', css: 'roomy number' },
  { key: 'task', title: 'Task', attribute: 'Task', css: 'roomy number' },
  { key: 'user', title: 'User', attribute: 'User', kind: 'user', css: 'wide clip' },
  { key: 'computer', title: 'Computer', attribute: 'Computer', kind: 'computer', css: 'wide wider clip' },
  { key: 'record', title: 'Record id', attribute: 'RecordId', css: 'roomy number' },
  { key: 'plan', title: 'Plan', attribute: 'MonitoringPlanName', kind: 'plan', css: 'roomy clip' },
  { key: 'item', title: 'Item', attribute: 'ItemName', kind: 'item', css: 'roomy clip' },
  { key: 'message', title: 'Message', text: (e) => String(value(e, 'Message', '')).split(/\r?\n/)[0], css: 'message' },
];
const DEFAULT_COLUMNS = ['time', 'level', 'provider', 'eventId', 'user', 'computer', 'message'];
const columns = { shown: DEFAULT_COLUMNS, widths: {}, ...readStored('corvane.columns', {}) };

function readStored(key, fallback) {
  try {
    return JSON.parse(localStorage.getItem(key)) ?? fallback;
  } catch {
    return fallback;
  }
}

function keepColumns() {
  localStorage.setItem('corvane.columns', JSON.stringify({ shown: columns.shown, widths: columns.widths }));
  saveAddress();
}

function setColumns(shown, widths = columns.widths) {
  columns.shown = shown.filter((key) => COLUMNS.some((c) => c.key === key));
  columns.widths = widths;
  renderHead();
  renderRows();
  select(view.selected, false);
  renderColumnChooser();
}

// The chooser: a box and a move up, move down for each column.
function renderColumnChooser() {
  const list = $('column-list');
  list.replaceChildren();
  const order = [...columns.shown, ...COLUMNS.map((c) => c.key).filter((k) => !columns.shown.includes(k))];
  order.forEach((key) => {
    const column = COLUMNS.find((c) => c.key === key);
    const row = element('li');
    row.dataset.key = key;
    const box = element('input');
    box.type = 'checkbox';
    box.checked = columns.shown.includes(key);
    box.id = `column-${key}`;
    box.addEventListener('change', () => {
      const shown = order.filter((k) => (k === key ? box.checked : columns.shown.includes(k)));
      setColumns(shown.length ? shown : columns.shown);
      keepColumns();
    });
    const label = element('label', '', column.title);
    label.htmlFor = box.id;
    const move = (step, text, name) => {
      const button = element('button', 'move', text);
      button.type = 'button';
      button.setAttribute('aria-label', `${name} ${column.title}`);
      button.addEventListener('click', () => {
        const at = order.indexOf(key);
        const to = at + step;
        if (to < 0 || to >= order.length) return;
        [order[at], order[to]] = [order[to], order[at]];
        setColumns(order.filter((k) => columns.shown.includes(k)));
        keepColumns();
        $('column-list').querySelector(`li[data-key=${key}] button.move[aria-label^="${name}"]`)?.focus();
      });
      return button;
    };
    row.append(box, label, move(-1, '↑', 'Move up'), move(1, '↓', 'Move down'));
    list.append(row);
  });
}

// Sizing by dragging a header's right edge.
function startResize(event, head) {
  event.preventDefault();
  const startX = event.clientX;
  const startWidth = head.getBoundingClientRect().width;
  const onMove = (moved) => {
    const width = Math.max(40, Math.round(startWidth + moved.clientX - startX));
    head.style.width = `${width}px`;
    columns.widths[head.dataset.key] = width;
  };
  const onUp = () => {
    removeEventListener('pointermove', onMove);
    removeEventListener('pointerup', onUp);
    keepColumns();
  };
  addEventListener('pointermove', onMove);
  addEventListener('pointerup', onUp);
}

const shownColumns = () => columns.shown.map((key) => COLUMNS.find((c) => c.key === key)).filter(Boolean);

function renderHead() {
  const row = $('head-row');
  row.replaceChildren();
  for (const column of shownColumns()) {
    const title = column.key === 'time' ? `Time (${zoneName()})` : column.title;
    const head = element('th', column.css?.replace(/\b(clip|number|message)\b/g, '').trim(), title);
    head.dataset.key = column.key;
    if (columns.widths[column.key]) head.style.width = `${columns.widths[column.key]}px`;
    const grip = element('span', 'grip');
    grip.title = 'Drag to size the column';
    grip.addEventListener('pointerdown', (event) => startResize(event, head));
    head.append(grip);
    row.append(head);
  }
}

function cellOf(column, event) {
  const cell = element('td', column.css);
  if (column.kind === 'level') {
    const level = String(number(event, 'Level'));
    const [name, css] = levelName(level, value(event, 'Keywords'));
    const button = valueButton('level', level, name);
    button.classList.add('level', css);
    cell.append(button);
    return cell;
  }
  const raw = column.text ? column.text(event) : value(event, column.attribute);
  const text = raw === undefined || raw === null ? '' : String(raw);
  if (column.kind && text !== '') {
    cell.append(valueButton(column.kind, text, text));
  } else {
    cell.textContent = text;
  }
  if (column.css?.includes('clip')) cell.title = text; // the whole text where the cell cuts it
  return cell;
}

function renderRows() {
  const rows = $('rows');
  const shown = shownColumns();
  rows.replaceChildren(...view.events.map((event, index) => {
    const row = document.createElement('tr');
    row.tabIndex = -1;
    row.dataset.index = String(index);
    row.dataset.record = String(value(event, 'RecordId', ''));
    row.append(...shown.map((column) => cellOf(column, event)));
    return row;
  }));
}

function renderPage(events) {
  view.events = events ? events.children || [] : [];
  renderRows();
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

// The attributes of the System list whose values take Include and Exclude.
const DETAIL_KINDS = {
  ProviderName: 'provider', EventId: 'eventId', Level: 'level', User: 'user', Computer: 'computer',
  MonitoringPlanName: 'plan', ItemName: 'item',
};

const narrow = () => matchMedia('(max-width: 760px)').matches;

function showDetails(event) {
  const list = $('detail-list');
  list.replaceChildren();
  for (const attribute of event.attributes || []) {
    if (attribute.name === 'Message') continue;
    let text = Array.isArray(attribute.value) ? attribute.value.join(', ') : String(attribute.value);
    if (attribute.name === 'Level') [text] = levelName(attribute.value, value(event, 'Keywords'));
    if (attribute.name === 'Keywords') text = `0x${BigInt.asUintN(64, BigInt(attribute.value)).toString(16)}`;
    if (attribute.name === 'TimeCreated') text = `${formatTime(attribute.value)} (${zoneName()})`;
    const kind = DETAIL_KINDS[attribute.name];
    const shown = element('dd', '', kind ? '' : text);
    if (kind) shown.append(valueButton(kind, String(attribute.value), text));
    list.append(element('dt', '', attribute.name), shown);
  }
  view.detailEvent = event;
  // Over the table on a narrow window, where Back closes it as it closes any page.
  if (narrow() && $('details').hidden) history.pushState({ details: true }, '', location.href);
  $('details').hidden = false;
  // The layout's columns follow the pane through a class.
  document.querySelector('.layout').classList.remove('no-details');
  loadEventDetails(event);
}

function closeDetails() {
  if ($('details').hidden) return;
  $('details').hidden = true;
  document.querySelector('.layout').classList.add('no-details');
  view.detailEvent = null;
  if (history.state?.details) history.back();
  const row = $('rows').children[view.selected];
  if (row && narrow()) row.focus();
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
  view.counting?.abort();
  const controller = beginWork('Counting');
  view.counting = controller;
  const options = { signal: controller.signal };
  try {
    const response = await send(requests.countEvents(view.filters), options);
    // The module counts level 0 (log always, the audits) with the informational events; its
    // count takes the date range only, so level 0 cannot be told apart here.
    const groups = [['Critical', 'CriticalEventsCount', 'critical'],
      ['Error', 'ErrorEventsCount', 'error'], ['Warning', 'WarningEventsCount', 'warning'],
      ['Information, log always', 'InformationalEventsCount', 'info']];
    const total = number(response, 'TotalEventsCount');
    chart.replaceChildren();
    for (const [name, attribute, css] of groups) {
      const count = number(response, attribute);
      const row = document.createElement('div');
      row.className = 'bar-row';
      const label = document.createElement('span');
      label.textContent = name;
      const bar = document.createElement('span');
      bar.className = `bar ${css}`;
      bar.style.width = `${total && count > 0 ? Math.max(1, (100 * count) / total) : 0}%`;
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
    if (error.name === 'AbortError') chart.textContent = 'Counting cancelled.';
    else if (!error.unreachable) chart.textContent = `Counts unavailable: ${inWords(error.message)}`;
  } finally {
    endWork(controller);
    if (view.counting === controller) view.counting = null;
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
    if (!$('value-menu').hidden) closeValueMenu();
    else closeDetails();
    return;
  }
  if (inField(event) || $('keys').open) return;
  const keys = {
    PageDown: () => page(0),
    PageUp: () => page(1),
    Home: () => startView(),
    '/': () => $('search').focus(),
    '?': () => $('keys').showModal(),
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

// ---- the time switch and quick ranges -----------------------------------------------------------

function renderZone() {
  $('zone').value = zone.utc ? 'utc' : 'local';
  $('date-zone').textContent = zoneName();
  renderHead();
  renderRows();
  renderChips();
  select(view.selected, false);
  if (view.detailEvent) showDetails(view.detailEvent);
}

function switchZone() {
  const since = isoFromInput($('since').value);
  const to = isoFromInput($('to').value, true);
  zone.utc = $('zone').value === 'utc';
  localStorage.setItem('corvane.zone', zone.utc ? 'utc' : 'local');
  $('since').value = inputFromIso(since);
  $('to').value = inputFromIso(to);
  renderZone();
}

function quickRange(hours) {
  const since = new Date(Date.now() - hours * 3600 * 1000).toISOString();
  applyFilters({ ...readFilterPanel(), since, to: '' });
}

// ---- export: every matching event, streamed by the host ----------------------------------------

// The file's name: the channel and the filters, in characters any file system takes.
export function exportName(channel, f, format) {
  const parts = [channel || 'events', ...chipsOf(f).map(([text]) => text)];
  if (parts.length === 1) parts.push('all');
  const name = parts.join('-').replace(/[^A-Za-z0-9._-]+/g, '_').replace(/_+/g, '_').slice(0, 150);
  return `${name}.${format}`;
}

async function exportEvents(format) {
  const controller = beginWork('Exporting');
  const nodes = filterNodes(view.filters);
  const started = performance.now();
  let events = 0;
  try {
    const reply = await fetch(apiUrl('api/export', { format }), {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(nodes.length ? node('Filters', '', [], nodes) : {}),
      credentials: 'same-origin',
      signal: controller.signal,
    });
    if (!reply.ok) throw new Error((await reply.json().catch(() => ({}))).error || `HTTP ${reply.status}`);
    const reader = reply.body.getReader();
    const decoder = new TextDecoder();
    const chunks = [];
    let quoted = false;
    for (;;) {
      const { done, value: chunk } = await reader.read();
      if (done) break;
      chunks.push(chunk);
      // Rows end at line ends outside quotes (a CSV message may hold line breaks).
      const text = decoder.decode(chunk, { stream: true });
      if (format === 'csv') {
        for (const c of text) {
          if (c === '"') quoted = !quoted;
          else if (c === '\n' && !quoted) events += 1;
        }
      } else {
        for (let at = text.indexOf('\n'); at >= 0; at = text.indexOf('\n', at + 1)) events += 1;
      }
      $('progress-text').textContent = `Exporting: ${(events - (format === 'csv' ? 1 : 0)).toLocaleString()} events…`;
    }
    const count = events - (format === 'csv' ? 1 : 0);
    const link = element('a');
    link.href = URL.createObjectURL(new Blob(chunks, { type: format === 'csv' ? 'text/csv' : 'application/x-ndjson' }));
    link.download = exportName(view.channel, view.filters, format);
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
    setStatus(`${count.toLocaleString()} events exported in ${Math.round(performance.now() - started)} ms`);
  } catch (error) {
    if (error.name === 'AbortError') setStatus('Export cancelled.');
    else showError('page-error', `The export failed: ${inWords(error.message)}`);
  } finally {
    endWork(controller);
  }
}

// ---- saved views: a filter set with its columns, kept in the browser ---------------------------

function savedViews() {
  return readStored('corvane.views', {});
}

function renderSavedViews() {
  const select = $('views');
  select.replaceChildren(new Option('Saved views…', ''));
  for (const name of Object.keys(savedViews()).sort()) select.add(new Option(name, name));
}

function saveView() {
  const name = $('view-name').value.trim();
  if (!name) {
    $('view-name').focus();
    return;
  }
  const views = savedViews();
  views[name] = { f: view.filters, c: columns.shown, w: columns.widths, n: view.pageSize };
  localStorage.setItem('corvane.views', JSON.stringify(views));
  $('view-name').value = '';
  renderSavedViews();
  $('views').value = name;
}

async function openView(saved) {
  if (saved.c) setColumns(saved.c, saved.w || columns.widths);
  if (saved.n) {
    view.pageSize = Number(saved.n);
    $('page-size').value = String(view.pageSize);
  }
  await applyFilters(saved.f || {});
}

function deleteView() {
  const views = savedViews();
  delete views[$('views').value];
  localStorage.setItem('corvane.views', JSON.stringify(views));
  renderSavedViews();
}

// ---- the host gone and back -------------------------------------------------------------------

const PROBE_MS = 2000;

function watchHost() {
  hostWatch.onChange = (gone) => {
    $('host-gone').hidden = !gone;
    if (!gone) return;
    const probe = async () => {
      try {
        const reply = await fetch(apiUrl('api/info'), { credentials: 'same-origin' });
        if (!reply.ok) throw new Error('not yet');
      } catch {
        setTimeout(probe, PROBE_MS);
        return;
      }
      hostWatch.gone = false;
      $('host-gone').hidden = true;
      // The host may have started again without the view's session: the address's page anew.
      if (view.shown) requestPage({ ...view.shown.mark, sessionId: newSessionId() }, view.shown.direction, view.shown.eventsCount);
      else startView();
      refreshCounts();
    };
    setTimeout(probe, PROBE_MS);
  };
}

async function main() {
  const asked = new URL(location.href).searchParams.get('channel');
  const info = await fetch(`api/info${asked ? `?channel=${encodeURIComponent(asked)}` : ''}`,
    { credentials: 'same-origin' }).then((r) => r.json()).catch(() => ({}));
  if (info.error) showError('page-error', info.error);
  // The page's own answer set the token's cookie: the token leaves the address, so that neither
  // the history nor a copied link carries it.
  const address = new URL(location.href);
  if (info.channel !== undefined && address.searchParams.has('token')) {
    address.searchParams.delete('token');
    history.replaceState(null, '', address.pathname + address.search + address.hash);
  }
  // The channel of the address, else the host's first.
  for (const name of info.channels || [info.channel]) $('channel').add(new Option(name, name));
  $('channel').value = info.channel || '';
  view.channel = info.channel || '';
  target.channel = address.searchParams.has('channel') ? view.channel : '';
  $('plans-fieldset').hidden = !info.monitoringPlans;
  document.title = `${info.channel || 'Events'} - Corvane event viewer`;
  watchHost();

  $('filters').addEventListener('submit', (event) => {
    event.preventDefault();
    applyFilters(readFilterPanel());
  });
  $('clear').addEventListener('click', () => applyFilters({}));
  $('newest').addEventListener('click', () => startView());
  $('newer').addEventListener('click', () => page(1));
  $('older').addEventListener('click', () => page(0));
  $('new-events').addEventListener('click', () => startView());
  $('page-size').addEventListener('change', changePageSize);
  $('close-details').addEventListener('click', closeDetails);
  $('cancel').addEventListener('click', cancelWork);
  $('zone').addEventListener('change', switchZone);
  for (const button of document.querySelectorAll('[data-hours]')) {
    button.addEventListener('click', () => quickRange(Number(button.dataset.hours)));
  }
  $('show-keys').addEventListener('click', () => $('keys').showModal());
  $('rows').addEventListener('click', (event) => {
    const row = event.target.closest('tr');
    if (row) select(Number(row.dataset.index), true);
  });
  document.addEventListener('click', (event) => {
    if (!$('value-menu').contains(event.target)) closeValueMenu();
  });
  addEventListener('popstate', () => {
    if (!$('details').hidden && !history.state?.details) closeDetails();
  });
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

  $('channel').addEventListener('change', () => {
    // Another channel is another view: its own address, without this channel's page.
    const next = new URL(location.href);
    next.searchParams.set('channel', $('channel').value);
    next.hash = '';
    location.assign(next.href);
  });
  for (const id of ['export-csv', 'export-jsonl']) {
    $(id).addEventListener('click', () => exportEvents($(id).dataset.format));
  }
  $('save-view').addEventListener('click', saveView);
  $('delete-view').addEventListener('click', deleteView);
  $('views').addEventListener('change', () => {
    const saved = savedViews()[$('views').value];
    if (saved) openView(saved);
  });
  $('columns-button').addEventListener('click', () => {
    $('columns-panel').hidden = !$('columns-panel').hidden;
  });

  const state = loadAddress();
  if (Array.isArray(state?.c)) columns.shown = state.c.map(String); // an address's own columns, not kept
  renderZone();
  renderColumnChooser();
  renderSavedViews();
  await loadPublishers();
  if (state && state.s && state.s.mark) {
    await resumeView(state);
  } else {
    await applyFilters(state?.f || {});
  }
  view.pollTimer = setTimeout(poll, POLL_MS);
}

main();
